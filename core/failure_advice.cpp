#include "core/failure_advice.h"

#include <cstdio>

#include "platform/socket.h"
#include "platform/text_convert.h"

std::u16string_view ExchangeAdvice(FailureKind kind, bool viaUpstream) {
  if (viaUpstream && (kind == FailureKind::kRefused || kind == FailureKind::kUnreachable ||
                      kind == FailureKind::kTimedOut || kind == FailureKind::kNotFound))
    return u"上位プロキシにつながりません。設定の「PROXY利用」のホスト名とポートを確かめてください"
           u"。";
  switch (kind) {
    case FailureKind::kNoHost:
      return u"要求に接続先がありません。Corvane はブラウザのプロキシとして使ってください。";
    case FailureKind::kNotFound:
      return u"このホスト名は見つかりません。アドレスを確かめてください。";
    case FailureKind::kRefused:
      return u"接続を拒否されました。サーバーが動いているか、アドレスとポートを確かめてください。";
    case FailureKind::kUnreachable:
      return u"サーバーに届きません。ネットワークへの接続を確かめてください。";
    case FailureKind::kTimedOut:
    case FailureKind::kSilent:
      return u"サーバーが時間内に応答しません。しばらくしてからもう一度試してください。";
    case FailureKind::kUnverified:
      return u"サーバーの証明書を確認できないため、何も送りませんでした。";
    case FailureKind::kTlsFailed:
      return u"サーバーとの TLS の接続に失敗したため、何も送りませんでした。";
    case FailureKind::kNoTunnel:
      return u"上位プロキシがこのサーバーへの接続を開きませんでした。";
    case FailureKind::kClientCertificate:
    case FailureKind::kOldTls:
    case FailureKind::kOnlyHttp2:
    case FailureKind::kNotHttp1:
    case FailureKind::kBadRequest:
    case FailureKind::kHeadTooLarge:
    case FailureKind::kBadPort:
    case FailureKind::kNotAllowed:
    case FailureKind::kForbidden:
    case FailureKind::kLoop:
      return u"";  // refused by design: the page says why, and nobody needs telling
  }
  return u"";
}

std::u16string_view StepAdvice(std::u16string_view step) {
  if (step == u"accept")
    return u"新しい接続を受け付けられません。開いている接続が多すぎる可能性があります。";
  if (step == u"create socket for server")
    return u"ソケットを作れません。開いている接続が多すぎる可能性があります。";
  return u"";
}

void StartAdvice(std::u16string_view step, int code, std::string_view address, uint16_t port,
                 std::span<char16_t> advice, std::span<char> hint) {
  WideWriter line(advice);
  char portText[8];
  std::snprintf(portText, sizeof portText, "%u", port);
  char command[96];
  DescribePortOwnerCommand(port, command);
  const char* english = "";
  char englishLine[256];
  if (step == u"bind" || step == u"listen") {
    ListenRefusal why = step == u"bind" ? ClassifyListenFailure(code) : ListenRefusal::kOther;
    line.Put(u"ポート ");
    line.PutSingleByte(portText);
    if (why == ListenRefusal::kInUse) {
      line.Put(
          u" はほかのプログラムが使っています。それを終了させてから Corvane を起動し直すか、"
          u"設定の ListenPort でポートを変えてください。\nそのプログラムを調べるには: ");
      line.PutSingleByte(command);
      std::snprintf(englishLine, sizeof englishLine,
                    "port %s is in use by another program; find it with: %s", portText, command);
    } else if (why == ListenRefusal::kNotAllowed) {
      line.Put(u" を使う権限がありません。");
      std::snprintf(englishLine, sizeof englishLine, "not allowed to listen on port %s", portText);
    } else if (why == ListenRefusal::kNotHere) {
      line.Put(u" で接続を待てません。\"");
      line.PutSingleByte(address);
      line.Put(
          u"\" はこのマシンのアドレスではありません。設定の ListenAddress を確かめてください。");
      std::snprintf(englishLine, sizeof englishLine,
                    "cannot listen on port %s: \"%.*s\" is not an address of this machine (see "
                    "ListenAddress in the settings)",
                    portText, static_cast<int>(address.size()), address.data());
    } else {
      line.Put(u" で接続を待つことができません。");
      std::snprintf(englishLine, sizeof englishLine, "cannot listen on port %s", portText);
    }
    english = englishLine;
  } else if (step == u"startup WSA" || step == u"WSA version") {
    line.Put(u"Windows のネットワーク機能 (Winsock) を使えません。");
    english = "the network library (Winsock) cannot be used";
  } else {
    line.Put(u"プロキシのスレッドを作れません。メモリが足りない可能性があります。");
    english = "the system gave no thread for the proxy; memory may have run out";
  }
  if (!hint.empty()) std::snprintf(hint.data(), hint.size(), "corvane: %s", english);
}
