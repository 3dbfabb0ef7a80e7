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
