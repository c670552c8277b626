#include "serial/PortTexts.h"

#include <string_view>

#include "serial/SerialPort.h"

namespace tessaro {

namespace {

struct TPhrase {
  std::string_view En;
  const char* Zh;
};

// Longer phrases before the shorter ones they hold.
constexpr TPhrase Phrases[] = {
    {MsgErrorOpening, "打开串口出错"},
    {MsgAlreadyOpened, "串口已经打开"},
    {MsgNotCommHandle, "该文件不是串口"},
    {MsgBaudRateRefused, "串口不接受该波特率"},
    {MsgUnableCreateEvent, "无法创建事件"},
    {"The far end closed the line or the device was removed", "对端关闭了线路或设备已被拔出"},
    {"Writing to the serial port failed", "写串口失败"},
    {"Waiting for the serial port failed", "等待串口失败"},
    {"cannot find the host ", "找不到主机 "},
    {"looking up the host ", "查找主机 "},
    {" took longer than ", " 超过了 "},
    {"no connection to ", "无法连接到 "},
    {"cannot connect to ", "无法连接到 "},
    {" within ", "，已等待 "},
    {"the server closed the connection", "服务器关闭了连接"},
    {"the connection failed", "连接失败"},
    {"no answer to the RFC 2217 COM port option", "服务器没有应答 RFC 2217 串口选项"},
    {"(the server refuses it, or is a raw TCP port: then use tcp://)", "（服务器拒绝该选项，或是原始 TCP 端口：请改用 tcp://）"},
    {"waiting for the network failed", "等待网络失败"},
    {"names no port", "不是任何端口"},
};

}  // namespace

std::string PortText(const std::string& english, uint8_t language) {
  if (language != 1) return english;
  std::string out = english;
  for (const TPhrase& p : Phrases) {
    const std::string_view zh = p.Zh;
    for (size_t at = out.find(p.En); at != std::string::npos; at = out.find(p.En, at + zh.size()))
      out.replace(at, p.En.size(), zh);
  }
  // The separator the English reasons use before a detail.
  const std::string_view colon = "：";
  for (size_t at = out.find(": "); at != std::string::npos; at = out.find(": ", at + colon.size()))
    out.replace(at, 2, colon);
  return out;
}

}  // namespace tessaro
