// What the web serves from a snapshot of the device table: the JSON of the
// devices, the metrics (checked by Debian's promtool), the device tree's look
// and the health check; and the log answers (events, CSV, data log, trends).

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <set>
#include <string>
#include <vector>
#include <nlohmann/json.hpp>

#include "e2e/ChildProcess.h"
#include "core/LangTable.h"
#include "core/UnixTime.h"
#include "logs/DataLog.h"
#include "net/NutVars.h"
#include "query/CsvExport.h"
#include "web/Json.h"
#include "web/WebFeed.h"
#include "web/WebLogs.h"
#include "web/WebModel.h"
#include "web/WebTexts.h"
#include "web/WebFixture.h"

using namespace tessaro;
using namespace tessaro::web;
using nlohmann::json;
using tessaro::testing::TWebBus;

namespace {

json Parse(const std::string& text) {
  json j = json::parse(text, nullptr, false);
  EXPECT_FALSE(j.is_discarded()) << text;
  return j;
}

const json* Device(const json& all, int address) {
  for (const json& d : all["devices"])
    if (d["address"] == address) return &d;
  return nullptr;
}

// promtool check metrics on the text: its exit status and what it said.
std::pair<int, std::string> Promtool(const std::string& text) {
  // One file per test: ctest runs the tests of this binary side by side.
  const std::string file = ::testing::TempDir() + "tessaro_metrics_" +
                           ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".txt";
  std::ofstream(file, std::ios::binary) << text;
  tessaro::testing::TChildProcess p({"/bin/sh", "-c", "exec /usr/bin/promtool check metrics < '" + file + "'"});
  const int status = p.WaitForExit(std::chrono::seconds(30));
  std::remove(file.c_str());
  return {status, p.Out() + p.Err()};
}

}  // namespace

TEST(WebJson, DevicesAnswerAsTheDeviceTableHoldsThem) {
  TWebBus bus("json");
  const json all = Parse(DevicesJson(*bus.Publish()));
  ASSERT_EQ(all["devices"].size(), 4u) << "one entry per address, the duplicate of 2 left out";
  EXPECT_EQ(all["port"]["name"], "/dev/ttyUSB0");
  EXPECT_EQ(all["port"]["open"], true);

  // Every measured value under its network UPS name, with the number the
  // network protocol serves.
  const json& one = *Device(all, 1);
  EXPECT_EQ(one["name"], "Server room \"A\"");
  EXPECT_EQ(one["up"], true);
  EXPECT_EQ(one["state"]["text"], "Online");
  EXPECT_EQ(one["status"], "OL");
  for (const auto& [name, value] : net::DeviceVariables(bus.Ups(1), ProtocolModbus)) {
    if (!one["values"].contains(name)) continue;  // the text variables
    EXPECT_DOUBLE_EQ(one["values"][name].get<double>(), std::stod(value)) << name;
  }
  struct {
    const char* Name;
    double Value;
  } const expected[] = {
      {"input.L3-N.voltage", 219.39}, {"output.L2-N.voltage", 230.5}, {"output.L2.power.percent", 47},
      {"ups.load", 47},               {"output.frequency", 50},       {"battery.voltage", 432.5},
      {"battery.runtime", 2520},      {"battery.charge", 97},         {"battery.current", 1.5},
  };
  for (const auto& e : expected) EXPECT_DOUBLE_EQ(one["values"][e.Name].get<double>(), e.Value) << e.Name;

  const json& two = *Device(all, 2);
  EXPECT_EQ(two["name"], "机房 UPS");
  EXPECT_EQ(two["status"], "OB LB ALARM");
  EXPECT_EQ(two["tree"]["icon"], "alarm");
  EXPECT_EQ(two["alarms"].size(), 2u);
  EXPECT_EQ(two["alarms"][0]["text"], "Mains volt. abnormal");
  EXPECT_EQ(two["alarms"][1]["code"], 70);
  EXPECT_DOUBLE_EQ(two["values"]["battery.current"].get<double>(), -12.25);

  // Lost, or answering without a state yet: no values at all.
  for (const int stale : {3, 7}) {
    const json& d = *Device(all, stale);
    EXPECT_EQ(d["up"], false) << stale;
    EXPECT_TRUE(d["values"].empty()) << stale;
    EXPECT_TRUE(d["state"].is_null()) << stale;
  }
}

TEST(WebJson, AForcedShutdownShowsWithWhoSetItAnsweringOrNot) {
  TWebBus bus("fsd");
  bus.Ctx->Forced.Set(1, {"user \"monitor\"", "127.0.0.1", EncodeDateTime({2026, 12, 11, 11, 42, 7})});
  bus.Ctx->Forced.Set(3, {"the shutdown policy (not answering while on battery)", ""});
  const json all = Parse(DevicesJson(*bus.Publish()));
  const json& one = *Device(all, 1);
  EXPECT_EQ(one["status"], "FSD OL");
  EXPECT_EQ(one["forcedShutdown"]["by"], "user \"monitor\"");
  EXPECT_EQ(one["forcedShutdown"]["from"], "127.0.0.1");
  EXPECT_EQ(one["forcedShutdown"]["at"], "2026-12-11 11:42:07");
  EXPECT_EQ((*Device(all, 3))["forcedShutdown"]["from"], "");  // lost, and still shown
  EXPECT_TRUE((*Device(all, 2))["forcedShutdown"].is_null());
  EXPECT_EQ((*Device(all, 2))["status"], "OB LB ALARM");
}

TEST(WebJson, TheLastBatteryTestShowsAnsweringOrNot) {
  TWebBus bus("test");
  bus.Ctx->Tests.Last[1] = {1, EncodeDateTime({2026, 12, 11, 3, 0, 0}), EncodeDateTime({2026, 12, 11, 3, 1, 0}),
                            "confirmed", {}, {}};
  bus.Ctx->Tests.Running[3] = EncodeDateTime({2026, 12, 11, 4, 0, 0});
  const json all = Parse(DevicesJson(*bus.Publish()));
  EXPECT_EQ((*Device(all, 1))["batteryTest"]["result"], "Done");
  EXPECT_EQ((*Device(all, 1))["batteryTest"]["date"], "2026-12-11 03:00:00");
  EXPECT_EQ((*Device(all, 3))["batteryTest"]["result"], "In progress");  // lost, and still shown
  EXPECT_TRUE((*Device(all, 2))["batteryTest"].is_null());
}

TEST(WebJson, ThePowerFrequencyProtocolHasNoBatteryChargeOrCurrentAndNoSystemWords) {
  TWebBus bus("quorvan");
  bus.Ctx->Settings.PortInfo.Protocol = ProtocolQuorvan;
  const TSnapshotPtr s = bus.Publish();
  const json one = Parse(DeviceJson(*s, *s->Find(1)));
  EXPECT_FALSE(one["device"]["values"].contains("battery.charge"));
  EXPECT_FALSE(one["device"]["values"].contains("battery.current"));
  EXPECT_TRUE(one["device"]["values"].contains("battery.runtime"));
  EXPECT_FALSE(one["device"]["statusWords"].contains("sysState"));
}

TEST(WebJson, DevicePageHoldsSupplyTextsStatusWordsAndTheLanguageOfTheSettings) {
  TWebBus bus("page");
  bus.Ctx->Settings.Language = 1;
  bus.Ups(2).Params.WorkMode = 1;
  bus.Ups(2).UpsSupply = 2;
  bus.Feed->AnswerAccepted(2);
  const TSnapshotPtr s = bus.Publish();
  const json d = Parse(DeviceJson(*s, *s->Find(2)))["device"];
  EXPECT_EQ(d["supply"]["input"]["text"], "电池供电");
  EXPECT_EQ(d["supply"]["ups"]["text"], "ECO");
  EXPECT_EQ(d["state"]["text"], "电池状态");
  EXPECT_EQ(d["statusWords"]["cmmState"], "4900-0000");
  EXPECT_EQ(d["link"]["lastAnswer"], "2026-03-04 05:06:07");
  EXPECT_EQ(Parse(DeviceJson(*s, *s->Find(1)))["device"]["link"]["lastAnswer"], nullptr);
}

TEST(WebJson, StringsAreEscapedAndInvalidUtf8Replaced) {
  std::string out;
  AppendJsonString("a\"b\\c\n\x01\xff", out);
  EXPECT_EQ(out, "\"a\\\"b\\\\c\\u000a\\u0001\xEF\xBF\xBD\"");
  EXPECT_FALSE(Parse(out).is_discarded());
}

TEST(WebMetrics, PassPromtoolAndGiveNoReadingsOfAStaleDevice) {
  TWebBus bus("metrics");
  bus.Add(9, "back\\slash");
  bus.Feed->AnswerAccepted(1);
  const std::string text = MetricsText(*bus.Publish(), "1.0.0");
  const auto [status, said] = Promtool(text);
  EXPECT_EQ(status, 0) << said << text;
  EXPECT_EQ(said, "") << "promtool has no complaint";

  EXPECT_NE(text.find("tessaro_device_up{address=\"1\",name=\"Server room \\\"A\\\"\"} 1\n"), std::string::npos);
  EXPECT_NE(text.find("tessaro_device_up{address=\"3\",name=\"Lost\"} 0\n"), std::string::npos);
  EXPECT_NE(text.find("name=\"back\\\\slash\""), std::string::npos);
  EXPECT_NE(text.find("tessaro_input_voltage_volts{address=\"1\",name=\"Server room \\\"A\\\"\",phase=\"L3\"} 219.39"),
            std::string::npos);
  EXPECT_NE(text.find("tessaro_output_load_ratio{address=\"1\",name=\"Server room \\\"A\\\"\",phase=\"L2\"} 0.47"),
            std::string::npos);
  EXPECT_NE(text.find("tessaro_battery_runtime_seconds{address=\"2\",name=\"机房 UPS\"} 180\n"), std::string::npos);
  EXPECT_NE(text.find("tessaro_device_state{address=\"2\",name=\"机房 UPS\",state=\"battery\"} 1\n"),
            std::string::npos);
  EXPECT_NE(text.find("code=\"25\",alarm=\"Mains volt. abnormal\"} 1\n"), std::string::npos);
  EXPECT_NE(text.find("code=\"70\",alarm=\"Alarm 70\"} 1\n"), std::string::npos);
  EXPECT_NE(text.find("code=\"21\",alarm=\"Battery under voltage\"} 0\n"), std::string::npos);
  EXPECT_NE(text.find("tessaro_build_info{version=\"1.0.0\"} 1\n"), std::string::npos);
  // The lost device and the one without a state: up, link, success, info, nothing read.
  for (const char* stale : {"address=\"3\"", "address=\"7\""}) {
    size_t at = 0;
    while ((at = text.find(stale, at)) != std::string::npos) {
      const size_t start = text.rfind('\n', at) + 1;
      const std::string name = text.substr(start, text.find('{', start) - start);
      EXPECT_TRUE(name == "tessaro_device_up" || name == "tessaro_device_link_state" ||
                  name == "tessaro_device_success_ratio" || name == "tessaro_device_info")
          << name;
      ++at;
    }
  }
}

// The zone is the process's: each test runs in a process of its own.
class LocalZone {
 public:
  explicit LocalZone(const char* zone) {
    ::setenv("TZ", zone, 1);
    ::tzset();
  }
  ~LocalZone() {
    ::unsetenv("TZ");
    ::tzset();
  }
};

TEST(WebTimes, LocalTimesAreGivenWithTheirOffsetAndAsUnixSeconds) {
  struct Case {
    const char* Zone;
    TDateParts Local;
    const char* Iso;
    int64_t Unix;
  };
  for (const Case& c : {Case{"Asia/Shanghai", {2026, 3, 4, 5, 6, 7}, "2026-03-04T05:06:07+08:00", 1772571967},
                        Case{"Europe/Berlin", {2026, 7, 1, 12, 0, 0}, "2026-07-01T12:00:00+02:00", 1782900000},
                        Case{"America/St_Johns", {2026, 1, 2, 3, 4, 5}, "2026-01-02T03:04:05-03:30", 1767335645},
                        Case{"UTC", {2026, 1, 2, 3, 4, 5}, "2026-01-02T03:04:05+00:00", 1767323045}}) {
    LocalZone zone(c.Zone);
    const TDateTime t = EncodeDateTime(c.Local);
    EXPECT_EQ(FormatIso8601(t), c.Iso) << c.Zone;
    EXPECT_EQ(UnixSeconds(t), c.Unix) << c.Zone;
  }
}

TEST(WebLook, EachDeviceToldApartAndNotLostBeforeItsFirstPoll) {
  TWebBus bus("look");
  bus.Ups(1).AlarmCount = 1;
  bus.Ups(1).AlarmCodes[0] = 21;
  const TSnapshotPtr fresh = bus.Publish();
  const json j = Parse(DevicesJson(*fresh));
  EXPECT_EQ((*Device(j, 1))["look"], "alarm");
  EXPECT_EQ((*Device(j, 2))["look"], "battery") << "on battery outranks its alarms";
  EXPECT_EQ((*Device(j, 3))["look"], "waiting") << "never polled since the start";
  EXPECT_EQ((*Device(j, 7))["look"], "waiting") << "answering, its state not decoded yet";
  EXPECT_EQ((*Device(j, 3))["link"]["state"], "waiting") << "the JSON agrees with the metric";
  const std::string metrics = MetricsText(*fresh, "1");
  EXPECT_NE(metrics.find("tessaro_device_link_state{address=\"3\",name=\"Lost\",state=\"waiting\"} 1"),
            std::string::npos);
  EXPECT_NE(metrics.find("tessaro_device_link_state{address=\"3\",name=\"Lost\",state=\"lost\"} 0"),
            std::string::npos);

  bus.Ups(1).AlarmCount = 0;
  bus.Ups(3).FailStreak = 10;  // given up on
  const json later = Parse(DevicesJson(*bus.Publish()));
  EXPECT_EQ((*Device(later, 1))["look"], "fine");
  EXPECT_EQ((*Device(later, 3))["look"], "silent");
  EXPECT_EQ((*Device(later, 3))["link"]["state"], "lost");
  const json closed = Parse(DevicesJson(*bus.Publish(false)));
  for (const json& d : closed["devices"]) {
    EXPECT_EQ(d["look"], "silent") << d["address"];
    EXPECT_EQ(d["link"]["state"], "lost") << d["address"];
  }
}

// Applies a stream patch as the page does: "a/b" paths set one level down.
void ApplyPatch(json& bus, const json& patch) {
  const auto set = [](json& o, const std::string& key, const json& v) {
    const size_t slash = key.find('/');
    if (slash == std::string::npos)
      o[key] = v;
    else
      o[key.substr(0, slash)][key.substr(slash + 1)] = v;
  };
  for (const auto& [key, v] : patch.items()) {
    if (key != "devices") {
      set(bus, key, v);
      continue;
    }
    for (const auto& [address, changes] : v.items())
      for (json& d : bus["devices"])
        if (std::to_string(d["address"].get<int>()) == address)
          for (const auto& [k, dv] : changes.items()) set(d, k, dv);
  }
}

TEST(WebStream, TheWholeBusFirstThenOnlyWhatChanged) {
  TWebBus bus("diff");
  TDevicesDiff diff;
  bus.Feed->AnswerAccepted(2);
  const TDevicesDiff::TEvent first = diff.Next(*bus.Publish());
  ASSERT_TRUE(first.Full);
  json page = Parse(first.Data);
  EXPECT_EQ(page["devices"].size(), 4u);

  // Answers, and a reading that moved: nothing yet, and never the answer
  // times of devices that are up.
  bus.Clock.AdvanceMs(1000);
  bus.Feed->AnswerAccepted(1);
  bus.Feed->AnswerAccepted(2);
  bus.Ups(1).Measure.LoadA = 77;
  EXPECT_EQ(diff.Next(*bus.Publish()).Data, "");

  // A device that stops answering goes at once: those members alone, the
  // time of its last answer with them, its emptied values whole.
  bus.Clock.AdvanceMs(1000);
  bus.Feed->AnswerAccepted(2);
  bus.Ups(2).CommState = 2;
  const TSnapshotPtr now = bus.Publish();
  const TDevicesDiff::TEvent patch = diff.Next(*now);
  ASSERT_FALSE(patch.Full);
  const json p = Parse(patch.Data);
  EXPECT_EQ(p["sequence"], now->Sequence);
  EXPECT_FALSE(p.contains("time")) << patch.Data;
  const json& two = p["devices"]["2"];
  EXPECT_EQ(two["up"], false);
  EXPECT_EQ(two["look"], "silent");
  EXPECT_EQ(two["link/state"], "lost");
  EXPECT_EQ(two["link/lastAnswer"], "2026-03-04 05:06:09");
  EXPECT_EQ(two["values"], json::object());
  EXPECT_EQ(p["devices"].size(), 1u) << patch.Data;
  ApplyPatch(page, p);

  // The readings once they are due, or with any other change of their device.
  bus.Clock.AdvanceMs(TDevicesDiff::ReadingsEveryMs);
  const TSnapshotPtr later = bus.Publish();
  const json readings = Parse(diff.Next(*later).Data);
  EXPECT_EQ(readings["devices"], json::parse(R"({"1": {"values/output.L1.power.percent": 77.0, "values/ups.load": 77.0}})"));
  ApplyPatch(page, readings);
  bus.Ups(1).Measure.LoadA = 78;
  bus.Ups(1).AlarmCount = 1;
  bus.Ups(1).AlarmCodes[0] = 21;
  bus.Clock.AdvanceMs(1000);
  const json alarm = Parse(diff.Next(*bus.Publish()).Data);
  EXPECT_EQ(alarm["devices"]["1"]["values/output.L1.power.percent"], 78.0) << alarm;
  EXPECT_EQ(alarm["devices"]["1"]["look"], "alarm") << alarm;
  bus.Ups(1).AlarmCount = 0;
  bus.Ups(1).Measure.LoadA = 77;
  bus.Clock.AdvanceMs(TDevicesDiff::ReadingsEveryMs);
  const json back = Parse(diff.Next(*bus.Publish()).Data);
  ApplyPatch(page, alarm);
  ApplyPatch(page, back);

  // The page's copy with the patches applied is the answer of the moment,
  // but for the bus time and the answer times of devices that are up.
  json want = Parse(DevicesJson(*bus.Feed->Current()));
  for (const char* key : {"time", "timeAt", "timeUnix"}) page[key] = want[key];
  for (size_t i = 0; i < want["devices"].size(); ++i)
    if (want["devices"][i]["up"] == true)
      for (const char* key : {"lastAnswer", "lastAnswerAt", "lastAnswerUnix"})
        want["devices"][i]["link"][key] = page["devices"][i]["link"][key];
  EXPECT_EQ(page, want);

  // Another device on the list: the whole bus again.
  bus.Add(9, "New");
  EXPECT_TRUE(diff.Next(*bus.Publish()).Full);
}

TEST(WebTexts, PlainWordsOnThePagesWhileTheDesktopKeepsItsOwn) {
  const json en = Parse(PageTextsJson(0)), zh = Parse(PageTextsJson(1));
  EXPECT_EQ(en["portClosed"], "Serial port closed");
  EXPECT_STREQ(LangTextUtf8(TTextId::PortClosedStatus, 0), "COM is closed");
  EXPECT_EQ(en["portOpenSuffix"], " is open");
  EXPECT_EQ(zh["portClosed"], "串口已关闭");
  std::set<std::string> looks;
  for (const char* key : {"lookFine", "lookBattery", "lookAlarm", "lookSilent", "lookWaiting", "lookOff"}) {
    EXPECT_FALSE(zh[key].get<std::string>().empty()) << key;
    looks.insert(en[key].get<std::string>());
  }
  EXPECT_EQ(looks.size(), 6u) << "six different words";
  const json fields = Parse(PageFieldsJson(0, ProtocolModbus));
  for (const json& f : fields["boxes"])
    for (const char* odd : {"Frequence", "Support Time", "Capability"})
      EXPECT_EQ(f["caption"].get<std::string>().find(odd), std::string::npos) << f["caption"];
}

TEST(WebMetrics, TimesAreUnixSecondsValuesWithoutNoiseFlagsAndInfo) {
  LocalZone zone("Asia/Shanghai");
  TWebBus bus("flags");
  bus.Ups(1).Measure.InputVoltA = 2192 * 0.1;  // 219.20000000000002
  bus.Ups(1).Measure.LoadB = 0.7 * 100;        // 70.00000000000001
  bus.Feed->AnswerAccepted(1);                   // at 2026-03-04 05:06:07.1 in Shanghai
  const TSnapshotPtr snap = bus.Publish();
  const std::string text = MetricsText(*snap, "1.0.0");
  EXPECT_EQ(Promtool(text).first, 0) << text;
  const std::string one = "{address=\"1\",name=\"Server room \\\"A\\\"\"";
  const std::string two = "{address=\"2\",name=\"机房 UPS\"";
  for (const std::string& line :
       {"tessaro_device_last_answer_timestamp_seconds" + one + "} 1772571967\n",
        "tessaro_input_voltage_volts" + one + ",phase=\"L1\"} 219.2\n",
        "tessaro_output_load_ratio" + one + ",phase=\"L2\"} 0.7\n",
        "tessaro_ups_load_ratio" + one + "} 0.7\n",
        "tessaro_device_status" + one + ",flag=\"OL\"} 1\n",
        "tessaro_device_status" + one + ",flag=\"OB\"} 0\n",
        "tessaro_device_status" + two + ",flag=\"OB\"} 1\n",
        "tessaro_device_status" + two + ",flag=\"ALARM\"} 1\n",
        "tessaro_device_info" + one + ",protocol=\"2\",bus=\"/dev/ttyUSB0\"} 1\n",
        std::string("tessaro_device_info{address=\"3\",name=\"Lost\",protocol=\"2\",bus=\"/dev/ttyUSB0\"} 1\n")})
    EXPECT_NE(text.find(line), std::string::npos) << line << text;
  EXPECT_EQ(text.find("000000"), std::string::npos) << "no float noise";
  EXPECT_EQ(text.find("tessaro_device_status{address=\"3\""), std::string::npos) << "no flags of a lost device";

  const json j = Parse(DevicesJson(*snap));
  EXPECT_EQ(j["timeAt"], "2026-03-04T05:06:07+08:00");
  EXPECT_EQ((*Device(j, 1))["link"]["lastAnswerAt"], "2026-03-04T05:06:07+08:00");
  EXPECT_EQ((*Device(j, 1))["link"]["lastAnswerUnix"], 1772571967);
  EXPECT_TRUE((*Device(j, 3))["link"]["lastAnswerUnix"].is_null());
}

TEST(WebMetrics, AllDevicesStaleOrPortClosedStillPassPromtool) {
  TWebBus bus("closed");
  const std::string text = MetricsText(*bus.Publish(false), "1.0.0");
  EXPECT_EQ(Promtool(text).first, 0) << text;
  EXPECT_EQ(text.find("tessaro_input_voltage_volts"), std::string::npos);
  EXPECT_NE(text.find("tessaro_port_open{port=\"/dev/ttyUSB0\"} 0"), std::string::npos);
}

TEST(WebHealth, OkWhileTheEngineTicksWithThePortOpen) {
  TWebBus bus("health");
  EXPECT_FALSE(Health(*bus.Feed->Current(), 0).Ok);
  const TSnapshotPtr open = bus.Publish(true);
  EXPECT_TRUE(Health(*open, open->MadeMs + 100).Ok);
  const THealth stalled = Health(*open, open->MadeMs + EngineStalledMs + 1000);
  EXPECT_FALSE(stalled.Ok);
  EXPECT_NE(stalled.Reason.find("has not run for 6 s"), std::string::npos) << stalled.Reason;
  const THealth closed = Health(*bus.Publish(false), bus.Clock.MonotonicMs());
  EXPECT_FALSE(closed.Ok);
  EXPECT_EQ(closed.Reason, "serial port /dev/ttyUSB0 is closed");

  // A part that is down is told, and leaves the verdict to the engine.
  bus.Feed->Publish(*bus.Ctx, true, {{"mqtt", "broker mqtt://b:1883", false, 0}});
  const THealth part = Health(*bus.Feed->Current(), bus.Clock.MonotonicMs());
  EXPECT_TRUE(part.Ok);
  EXPECT_NE(part.Reason.find("\nmqtt: not connected to broker mqtt://b:1883 since the start"), std::string::npos)
      << part.Reason;
}

TEST(WebFeed, SequenceMovesOnlyWhenSomethingShownChanged) {
  TWebBus bus("sequence");
  const uint64_t first = bus.Publish()->Sequence;
  EXPECT_EQ(bus.Publish()->Sequence, first);
  bus.Ups(1).Measure.LoadA = 32;
  EXPECT_GT(bus.Publish()->Sequence, first);
  const uint64_t second = bus.Feed->Current()->Sequence;
  bus.Ctx->Settings.Language = 1;
  EXPECT_GT(bus.Publish()->Sequence, second);
}

TEST(WebTexts, EveryTextInBothLanguagesFromTheProgramsTables) {
  const json en = Parse(PageTextsJson(0));
  const json zh = Parse(PageTextsJson(1));
  EXPECT_EQ(en["inputA"], "Input A Phase V");
  EXPECT_EQ(zh["inputA"], "输入A相电压");
  EXPECT_EQ(en["eventColumns"][3], "Event");
  EXPECT_EQ(zh["eventColumns"][0], "序号");
  EXPECT_EQ(zh["dataColumns"][2], "输入A相电压(V)");
  for (const auto& [key, value] : en.items()) {
    ASSERT_TRUE(zh.contains(key)) << key;
    if (value.is_string()) {
      EXPECT_FALSE(value.get<std::string>().empty()) << key;
    }
  }
}

// The page draws its boxes, columns and charts from this list alone.
TEST(WebTexts, PageFieldsAreTheCataloguesValuesOfTheProtocol) {
  const json en = Parse(PageFieldsJson(0, ProtocolModbus));
  std::vector<std::string> boxes;
  for (const json& f : en["boxes"]) boxes.push_back(f["key"]);
  EXPECT_EQ(boxes.size(), 13u);
  EXPECT_EQ(boxes.back(), "battery.charge");
  const json& load = en["boxes"][6];
  EXPECT_EQ(load["caption"], "Load percent A phase");
  EXPECT_EQ(load["unit"], "%");
  EXPECT_EQ(load["decimals"], 0);
  const json& runtime = en["boxes"][11];
  EXPECT_EQ(runtime["key"], "battery.runtime");  // seconds on the wire, minutes on the page
  EXPECT_EQ(runtime["divisor"], 60);
  EXPECT_EQ(runtime["unit"], "Minute");
  EXPECT_EQ(en["columns"][0]["fields"].size(), 3u);
  EXPECT_EQ(en["charts"][3]["labels"], json({"Battery charge (%)", "DC input voltage (V)"}));
  // Every title names a text the page has.
  const json texts = Parse(PageTextsJson(0));
  for (const char* list : {"columns", "charts"})
    for (const json& c : en[list]) EXPECT_TRUE(texts.contains(c["title"])) << c["title"];

  // No box for what the protocol does not report; the overview keeps its columns.
  const json quorvan = Parse(PageFieldsJson(0, ProtocolQuorvan));
  EXPECT_EQ(quorvan["boxes"].size(), 12u);
  for (const json& f : quorvan["boxes"]) EXPECT_NE(f["key"], "battery.charge");
  EXPECT_EQ(quorvan["columns"], en["columns"]);
  EXPECT_EQ(Parse(PageFieldsJson(1, ProtocolModbus))["boxes"][0]["caption"], "输入A相电压");
}

class WebLogs : public ::testing::Test {
 protected:
  void SetUp() override {
    Bus = std::make_unique<TWebBus>("logs");
    TEventLog& log = *Bus->Ctx->EventLogger;
    // 30 events over three days of March and one in April, alternating devices.
    for (int i = 0; i < 30; ++i) {
      Bus->Clock.Set(EncodeDateTime({2026, 3, 1 + i / 10, 10, i, 0}));
      log.LogAlarmEvent(static_cast<uint8_t>(1 + i % 2), 25, i % 3 != 0);
    }
    Bus->Clock.Set(EncodeDateTime({2026, 4, 2, 8, 0, 0}));
    log.LogDeviceEvent(DevEventEstablished, 1);
  }
  std::string RecordDir() const { return Bus->Ctx->RecordDir; }
  std::unique_ptr<TWebBus> Bus;
};

TEST_F(WebLogs, EventsNewestFirstFilteredAndPagedAsTheViewer) {
  const json all = Parse(EventsJson(RecordDir(), {}, 0, 0, 5));
  EXPECT_EQ(all["total"], 31);
  ASSERT_EQ(all["events"].size(), 5u);
  EXPECT_EQ(all["events"][0]["index"], 1);
  EXPECT_EQ(all["events"][0]["time"], "2026-04-02 08:00:00");
  EXPECT_EQ(all["events"][0]["event"], "Communication upbuilt");
  EXPECT_EQ(all["events"][1]["event"], "Mains volt. abnormal");

  const json day = Parse(EventsJson(RecordDir(), {.Year = 2026, .Month = 3, .Day = 2, .Address = 2}, 1, 2, 100));
  EXPECT_EQ(day["total"], 5);
  ASSERT_EQ(day["events"].size(), 3u);
  EXPECT_EQ(day["events"][0]["address"], 2);
  EXPECT_EQ(day["events"][0]["time"].get<std::string>().substr(0, 10), "2026-03-02");

  // Each event says what it is in both languages, and keeps its id as more arrive.
  const json named = Parse(EventsJson(RecordDir(), {}, 0, 0, 4, {{1, "UPS one"}}));
  const json& newest = named["events"][0];
  EXPECT_EQ(newest["id"], 31);
  EXPECT_EQ(newest["device"], "UPS one");
  EXPECT_EQ(newest["kind"], "program");
  EXPECT_TRUE(newest["raised"].is_null());
  const json& raised = named["events"][1];  // i = 29
  EXPECT_EQ(raised["id"], 30);
  EXPECT_TRUE(raised["device"].is_null()) << "no name for address 2";
  EXPECT_EQ(raised["kind"], "alarm");
  EXPECT_EQ(raised["code"], 25);
  EXPECT_EQ(raised["raised"], true);
  EXPECT_EQ(raised["texts"]["en"], raised["event"]);
  EXPECT_NE(raised["texts"]["zh"], raised["texts"]["en"]);
  const json& cleared = named["events"][3];  // i = 27
  EXPECT_EQ(cleared["raised"], false);
  EXPECT_EQ(cleared["texts"]["en"], "Recover from: Mains volt. abnormal");
  EXPECT_EQ(raised["timeUnix"].get<int64_t>() - cleared["timeUnix"].get<int64_t>(), 120);
  Bus->Ctx->EventLogger->LogDeviceEvent(DevEventEstablished, 2);
  const json later = Parse(EventsJson(RecordDir(), {}, 0, 1, 1));
  EXPECT_EQ(later["events"][0]["id"], 31);
  EXPECT_EQ(later["events"][0]["index"], 2) << "the viewer's number moves; the id does not";

  const json beyond = Parse(EventsJson(RecordDir(), {}, 0, 500, 10));
  EXPECT_TRUE(beyond["events"].empty());
}

TEST_F(WebLogs, CsvIsTheExportOfTheSameGrid) {
  for (const TCsvEncoding encoding : {TCsvEncoding::Gbk, TCsvEncoding::Utf8Bom}) {
    const TEventFilter filter{.Year = 2026, .Month = 3, .Address = 1};
    TEventTable table(1);
    LoadEventGrid(table, RecordDir(), filter);
    const std::string file = (Bus->Dir / "export.csv").string();
    ASSERT_EQ(ExportCsv(table, file, encoding).Status, TExportStatus::Done);
    std::ifstream in(file, std::ios::binary);
    const std::string exported((std::istreambuf_iterator<char>(in)), {});
    EXPECT_EQ(EventsCsv(RecordDir(), filter, 1, encoding), exported);
  }
}

TEST_F(WebLogs, FiltersAreCheckedAsTheCommandLineChecksThem) {
  std::string error;
  EXPECT_TRUE(ParseEventFilter({{"year", "2026"}, {"month", "3"}, {"day", "2"}, {"address", "254"}}, error).has_value());
  struct {
    TQuery Query;
    const char* Says;
  } const bad[] = {
      {{{"year", "1999"}}, "year takes a whole number from 2000 to 2100"},
      {{{"month", "3"}}, "month goes with year"},
      {{{"year", "2026"}, {"day", "3"}}, "day goes with month"},
      {{{"address", "0"}}, "address takes"},
      {{{"address", "1e2"}}, "address takes"},
      {{{"year", "99999999999999"}}, "year takes"},
  };
  for (const auto& b : bad) {
    error.clear();
    EXPECT_FALSE(ParseEventFilter(b.Query, error).has_value());
    EXPECT_NE(error.find(b.Says), std::string::npos) << error;
  }
  size_t offset = 0, limit = 0;
  EXPECT_FALSE(ParsePage({{"limit", "0"}}, 10, 100, offset, limit, error));
  EXPECT_FALSE(ParsePage({{"limit", "101"}}, 10, 100, offset, limit, error));
  EXPECT_TRUE(ParsePage({{"offset", "7"}}, 10, 100, offset, limit, error));
  EXPECT_EQ(offset, 7u);
  EXPECT_EQ(limit, 10u);
}

TEST_F(WebLogs, DataLogMonthAndTrendsOfOneDevice) {
  TDataLog& data = *Bus->Ctx->DataLogger;
  // Device 1 every 10 minutes over the last two days, across the month end;
  // device 2 now and then.
  const TDateTime now = EncodeDateTime({2026, 4, 1, 12, 0, 0});
  for (int i = 0; i < 2 * 144; ++i) {
    TUpsInfo u = Bus->Ups(1);
    u.Measure.InputVoltA = 200 + i % 10;
    u.Measure.LoadA = 50;
    ASSERT_TRUE(data.Append(MakeDataRecord(u, now - 2.0 + i / 144.0)));
    if (i % 50 == 0) {
      ASSERT_TRUE(data.Append(MakeDataRecord(Bus->Ups(2), now - 2.0 + i / 144.0)));
    }
  }
  const json march = Parse(DataLogJson(RecordDir(), 2026, 3, 0, 1, ProtocolModbus, 0, 3));
  EXPECT_EQ(march["total"], 216);  // 30 and 31 March
  EXPECT_EQ(march["records"][0]["time"], "2026-03-30 12:00:00");
  EXPECT_DOUBLE_EQ(march["records"][1]["values"]["input.L1-N.voltage"].get<double>(), 201);

  const json day = Parse(TrendJson(RecordDir(), 1, now - 1.0, now, 24, ProtocolModbus));
  EXPECT_EQ(day["records"], 144) << "the last day, from both month files";
  ASSERT_EQ(day["t"].size(), 24u);
  EXPECT_DOUBLE_EQ(day["series"]["output.L1.power.percent"][0].get<double>(), 50);
  const double mean = day["series"]["input.L1-N.voltage"][0].get<double>();
  EXPECT_TRUE(mean > 202 && mean < 207) << "an average of 200..209, not one reading: " << mean;
  EXPECT_FALSE(day["series"].contains("input.voltage"));
  EXPECT_EQ(day["averaged"], true);
  EXPECT_DOUBLE_EQ(day["min"]["input.L1-N.voltage"][0].get<double>(), 200) << "the band behind the average";
  EXPECT_DOUBLE_EQ(day["max"]["input.L1-N.voltage"][0].get<double>(), 209);
  EXPECT_EQ(day["bucketMs"], 3600000);
  EXPECT_EQ(day["t"][1].get<double>() - day["t"][0].get<double>(), 3600000) << "Unix milliseconds";
  // One point per record: no band; the first record's time for the "collecting since" note.
  const json hour = Parse(TrendJson(RecordDir(), 1, now - 1.0 / 24, now, 120, ProtocolModbus));
  EXPECT_EQ(hour["averaged"], false);
  EXPECT_TRUE(hour["min"].empty());
  EXPECT_EQ(hour["first"], hour["t"][0]);
  const json none = Parse(TrendJson(RecordDir(), 9, now - 1.0, now, 24, ProtocolModbus));
  EXPECT_TRUE(none["first"].is_null());
  EXPECT_EQ(none["records"], 0);
}
