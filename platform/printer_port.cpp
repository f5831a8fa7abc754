#include "platform/printer_port.h"

#include <vector>

namespace kestrun {

std::string describePortStatus(const PortStatus& status) {
    // Paper out usually also raises offline and error; the specific cause comes first, and each
    // cause brings the one thing the user can do about it.
    std::vector<std::string> causes;
    std::vector<std::string> remedies;
    if (status.paperOut) {
        causes.push_back("缺纸");
        remedies.push_back("装好打印纸");
    }
    if (status.offline) {
        causes.push_back("脱机");
        remedies.push_back("按打印机的“联机”键");
    }
    if (status.error) {
        causes.push_back("报告故障");
        remedies.push_back("检查打印机面板上的故障灯（卡纸、机盖未合上等）");
    }
    if (status.busy) {
        causes.push_back("忙");
        remedies.push_back("稍候");
    }
    if (causes.empty()) {
        return "打印机暂时没有接收数据。请检查打印机电源和电缆。";
    }
    std::string text = "打印机";
    for (std::size_t i = 0; i < causes.size(); ++i) {
        text += (i == 0 ? "" : "、") + causes[i];
    }
    text += "。请";
    for (std::size_t i = 0; i < remedies.size(); ++i) {
        text += (i == 0 ? "" : "，") + remedies[i];
    }
    text += "，测试页会从中断处继续打印。";
    return text;
}

}  // namespace kestrun
