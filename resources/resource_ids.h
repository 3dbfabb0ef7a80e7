// Numbers of the program's resources and of the commands its menu and accelerators send.
#pragma once

#include <cstdint>

// Japanese, the language of every resource.
inline constexpr uint16_t kResourceLanguage = 1041;

inline constexpr uint16_t IDS_TITLE = 1;       // "Corvane", the main window's title
inline constexpr uint16_t IDS_CLASS_NAME = 3;  // "CORVANE", the main window's class
inline constexpr uint16_t IDR_ACCELERATORS = 3;
inline constexpr uint16_t IDI_CORVANE = 101;  // 32 by 32 and 16 by 16, 16 colours
inline constexpr uint16_t IDR_TRAY_MENU = 102;
inline constexpr uint16_t IDD_ABOUT = 103;
inline constexpr uint16_t IDD_SETTINGS = 104;

inline constexpr uint16_t IDM_ACCEL_ALT_F4 = 40002;     // Alt+F4, handled by nobody
inline constexpr uint16_t IDM_ACCEL_ALT_SLASH = 40003;  // Alt+"/", handled by nobody
inline constexpr uint16_t IDM_SETTINGS = 40004;
inline constexpr uint16_t IDM_ABOUT = 40005;
inline constexpr uint16_t IDM_EXIT = 40006;
inline constexpr uint16_t IDM_INSPECT_HTTPS = 40007;  // check item: InspectHttps

// Controls of the settings dialog (template 104) and the setting each one shows.
inline constexpr uint16_t IDC_SEND_MACHINE = 1001;      // check box: SendMachine
inline constexpr uint16_t IDC_SEND_REFERER = 1002;      // check box: SendReferer
inline constexpr uint16_t IDC_CHANGE_UA = 1003;         // check box: ChangeUA
inline constexpr uint16_t IDC_UA_NAME = 1004;           // edit field: UAName
inline constexpr uint16_t IDC_USE_PROXY = 1005;         // check box: UseProxy
inline constexpr uint16_t IDC_PROXY_NAME = 1006;        // edit field: ProxyName
inline constexpr uint16_t IDC_SPACE_CONVERT = 1007;     // check box: SpaceConvert
inline constexpr uint16_t IDC_PROXY_PORT = 1008;        // edit field: ProxyPort as decimal text
inline constexpr uint16_t IDC_URL_CONVERT = 1010;       // check box: URLConvert
inline constexpr uint16_t IDC_QUOTE_MARKS_ONLY = 1011;  // radio button: SpaceConvertAll = 0
inline constexpr uint16_t IDC_CONVERT_ALL = 1012;       // radio button: SpaceConvertAll = 1
inline constexpr uint16_t IDC_READ_YAHOO_MAIL = 1013;   // check box, never enabled: ReadYahooMail
