#include "platform/linux/cups_connection.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <utility>

namespace kestrun {
namespace {

// libcups says EHOSTDOWN for any connection that failed; for the usual local socket the reason
// can be had more precisely (ENOENT: no server has ever run, ECONNREFUSED: it has gone).
int connectError(const std::string& server, int reported) {
    struct stat info = {};
    if (!server.empty() && server.front() == '/' && stat(server.c_str(), &info) != 0) {
        return errno;
    }
    if (reported == EHOSTDOWN && !server.empty() && server.front() == '/') {
        return ECONNREFUSED;
    }
    return reported != 0 ? reported : ECONNREFUSED;
}

// A GUI program has no terminal to ask for a password on: the default callback would read one
// from /dev/tty and never return. Without a password the server answers "not authorised", which
// failure() turns into a message that says what to do instead.
const char* noPassword(const char*, http_t*, const char*, const char*, void*) {
    return nullptr;
}

// Asked when a read or write has waited for the whole time limit; 0 gives up on the exchange.
int giveUp(http_t*, void*) {
    return 0;
}

// Whether an answer refuses access, and if so whether for want of a login: without a password
// libcups reports the exchange as cancelled, a server not asked again answers 401 and one that
// knows the user and does not let them, 403.
std::optional<bool> wantsLogin(ipp_status_t answer) {
    switch (answer) {
        case IPP_STATUS_ERROR_NOT_AUTHENTICATED:
        case IPP_STATUS_ERROR_NOT_AUTHORIZED:
        case IPP_STATUS_ERROR_CUPS_AUTHENTICATION_CANCELED:
            return true;
        case IPP_STATUS_ERROR_FORBIDDEN:
            return false;
        default:
            return std::nullopt;
    }
}

std::optional<bool> wantsLogin(http_status_t answer) {
    switch (answer) {
        case HTTP_STATUS_UNAUTHORIZED:
        case HTTP_STATUS_CUPS_AUTHORIZATION_CANCELED:
            return true;
        case HTTP_STATUS_FORBIDDEN:
            return false;
        default:
            return std::nullopt;
    }
}

PrinterError stopped() {
    return PrinterError(
        PrinterError::Kind::Stopped, 0,
        "没有等打印系统（CUPS，" + serverName() +
            "）完成就停止了退纸。测试页可能还在打印机里：请按打印机的进纸键把它送出。");
}

}  // namespace

PrinterError accessError(const AccessRefusal& refusal, const std::string& what,
                         const std::string& printer) {
    const std::string prefix = "打印系统（CUPS，" + serverName() + "）";
    const std::string answer = "（" + what + "，打印系统的回答：" + refusal.answer + "）";
    const std::string orOther = "，或者把另一台打印机设为默认打印机，然后重新测试。";
    if (refusal.wantsLogin) {
        return PrinterError(PrinterError::Kind::Failed, 0,
                            prefix + "要求登录（用户名和密码）才能使用打印机“" + printer + "”" +
                                answer + "，而本程序无法提供密码。请让管理员允许不用密码在打印机“" +
                                printer + "”上打印" + orOther);
    }
    return PrinterError(PrinterError::Kind::Failed, 0,
                        prefix + "不允许用户“" + cupsUser() + "”使用打印机“" + printer + "”" +
                            answer + "。请让管理员允许这个用户在打印机“" + printer + "”上打印" +
                            orOther);
}

std::string serverName() {
    const char* server = cupsServer();
    return server != nullptr ? server : "";
}

std::string serverAnswer() {
    const char* text = cupsLastErrorString();
    std::string answer = text != nullptr && *text != '\0' ? text : "";
    const char* status = ippErrorString(cupsLastError());
    if (status != nullptr && answer.find(status) == std::string::npos) {
        answer += answer.empty() ? status : std::string("，") + status;
    }
    return answer;
}

PrintServerConnection::PrintServerConnection(std::chrono::milliseconds timeout,
                                             std::stop_token stop)
    : timeout_(timeout), stop_(std::move(stop)) {
    skipIfStopped();
    cupsSetPasswordCB2(noPassword, nullptr);
    const std::string server = serverName();
    // Connected in a second step: httpConnect2 would close the connection on failure and
    // lose the reason with it.
    http_ = httpConnect2(server.c_str(), ippPort(), nullptr, AF_UNSPEC, cupsEncryption(), 1, 0,
                         nullptr);
    if (http_ == nullptr) {
        throw PrinterError(PrinterError::Kind::Failed, 0,
                           "找不到打印系统（CUPS）的服务器“" + server +
                               "”。请检查打印系统的设置（CUPS_SERVER、client.conf），"
                               "然后重新测试。");
    }
    httpSetTimeout(http_, static_cast<double>(timeout.count()) / 1000.0, giveUp, nullptr);
    // libcups looks at `cancel` between the polls of its connection attempt.
    int cancel = 0;
    const std::stop_callback cancelOnStop(stop_, [&cancel] { std::atomic_ref(cancel).store(1); });
    if (httpReconnect2(http_, static_cast<int>(timeout.count()), &cancel) != 0) {
        const int error = connectError(server, httpError(http_));
        httpClose(http_);
        skipIfStopped();
        throw PrinterError(PrinterError::Kind::NotAnswering, error,
                           "无法连接打印系统（CUPS，" + server + "）：" + systemText(error) +
                               "。请确认打印服务已经启动（例如 sudo systemctl start cups），"
                               "然后重新测试。");
    }
    // An exchange waits for the answer on the socket, at first a whole second at a time without
    // asking giveUp: ending the socket's reading side wakes it at once, to find the answer ended.
    socket_ = fcntl(httpGetFd(http_), F_DUPFD_CLOEXEC, 0);
    endOnStop_.emplace(stop_, [this] { shutdown(socket_, SHUT_RD); });
}

PrintServerConnection::~PrintServerConnection() {
    endOnStop_.reset();
    if (socket_ >= 0) {
        close(socket_);
    }
    httpClose(http_);
}

void PrintServerConnection::skipIfStopped() const {
    if (stop_.stop_requested()) {
        throw stopped();
    }
}

std::optional<AccessRefusal> PrintServerConnection::accessRefusal() const {
    // libcups may put its own guess over the answer (a printer that it was not let see "does not
    // exist"); the HTTP status still tells.
    const std::optional<bool> byAnswer = wantsLogin(cupsLastError());
    const std::optional<bool> byStatus = wantsLogin(httpGetStatus(http_));
    if (httpError(http_) != 0 || !(byAnswer || byStatus)) {
        return std::nullopt;
    }
    return AccessRefusal{byAnswer ? *byAnswer : *byStatus,
                         byAnswer ? serverAnswer() : httpStatus(httpGetStatus(http_))};
}

PrinterError PrintServerConnection::failure(const std::string& what, const std::string& printer,
                                            const std::string& answeredAdvice) const {
    if (stop_.stop_requested()) {
        return stopped();
    }
    const int error = httpError(http_);
    if (error == ETIMEDOUT || error == EAGAIN || error == EWOULDBLOCK) {
        return PrinterError(
            PrinterError::Kind::NotAnswering, ETIMEDOUT,
            "打印系统（CUPS，" + serverName() + "）在 " +
                std::to_string((timeout_.count() + 999) / 1000) + " 秒内没有响应（" + what +
                "）。请检查打印服务是否正常运行（例如 sudo systemctl restart cups），"
                "然后重新测试。");
    }
    if (error != 0) {
        return PrinterError(PrinterError::Kind::Failed, error,
                            "与打印系统（CUPS，" + serverName() + "）的连接中断（" + what + "：" +
                                systemText(error) +
                                "）。请检查打印服务是否正常运行，然后重新测试。");
    }
    if (const auto refusal = accessRefusal()) {
        return accessError(*refusal, what, printer);
    }
    return PrinterError(PrinterError::Kind::Failed, 0,
                        what + "失败，打印系统的回答：" + serverAnswer() + "。" + answeredAdvice);
}

}  // namespace kestrun
