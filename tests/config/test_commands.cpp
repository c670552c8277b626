// `tessaro devices` and `tessaro config` against real files in a scratch
// directory: what they write is read back with the program's own loaders.

#include <crypt.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "config/Commands.h"
#include "config/DataDir.h"
#include "core/DeviceList.h"
#include "core/DeviceName.h"
#include "core/PathTrust.h"
#include "core/UserParaIni.h"

using namespace tessaro;
namespace fs = std::filesystem;

namespace {

class Commands : public ::testing::Test {
 protected:
  void SetUp() override {
    Dir = fs::temp_directory_path() /
          ("tessaro_cmd_" + std::to_string(::getpid()) + "_" +
           ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(Dir);
    Data = (Dir / "data").string() + "/";
  }
  void TearDown() override { fs::remove_all(Dir); }

  int Run(std::vector<std::string> args) {
    Out.clear();
    Err.clear();
    args.push_back("--data-dir");
    args.push_back(Data);
    return config::RunCommand(args, "/nonexistent/", Out, Err);
  }
  std::string Read(const std::string& path) const {
    std::ifstream f(path, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
  }
  TDeviceList Loaded() const {
    TDeviceList list(Data + "Record/");
    list.LoadDeviceList();
    return list;
  }

  fs::path Dir;
  std::string Data;
  std::string Out, Err;
};

TEST_F(Commands, devicesAddRenameRemoveRoundTripThroughTheListFile) {
  // The data directory does not exist yet: the first add makes it.
  ASSERT_EQ(Run({"devices", "add", "7", "UPS-7"}), 0) << Err;
  ASSERT_EQ(Run({"devices", "add", "2", "机房主机"}), 0) << Err;
  ASSERT_EQ(Run({"devices", "rename", "7", "Rack 7"}), 0) << Err;

  TDeviceList list = Loaded();
  ASSERT_EQ(list.Count, 2);
  EXPECT_EQ(list.Nodes[1].Address, 7);
  EXPECT_EQ(ShownDeviceNameText(list.Nodes[1].Name), "Rack 7");
  EXPECT_EQ(list.Nodes[1].Name[6], '\r');  // padded as the dialog pads
  EXPECT_EQ(TrimDeviceName(list.Nodes[2].Name), "\xBB\xFA\xB7\xBF\xD6\xF7\xBB\xFA");  // GBK bytes

  ASSERT_EQ(Run({"devices", "list"}), 0);
  EXPECT_EQ(Out, "7\tRack 7\n2\t机房主机\n");

  EXPECT_TRUE(config::IsCommand({"--data-dir", Data, "devices", "remove", "7"}));
  EXPECT_FALSE(config::IsCommand({"--headless", "devices"}));
  ASSERT_EQ(config::RunCommand({"--data-dir", Data, "devices", "remove", "7"}, "/nonexistent/", Out, Err), 0) << Err;
  ASSERT_EQ(Run({"devices", "list"}), 0);
  EXPECT_EQ(Out, "2\t机房主机\n");
}

TEST_F(Commands, devicesRefusalsLeaveTheListAsItWas) {
  ASSERT_EQ(Run({"devices", "add", "3", "Kept"}), 0);
  const std::string before = Read(Data + "Record/TreeNode.dat");
  const std::string forty(40, 'x');
  struct TCase {
    std::vector<std::string> Args;
    int Status;
    std::string Message;
  } cases[] = {
      {{"devices", "add", "4", ""}, 1, "Equipment Name is empty !"},
      {{"devices", "add", "4", "  \xE3\x80\x80"}, 1, "Equipment Name is empty !"},  // blanks only
      {{"devices", "add", "4", forty + "y"}, 1, "Equipment name is too long !"},
      {{"devices", "add", "4", "一二三四五六七八九十一二三四五六七八九十一"}, 1, "too long"},  // 42 bytes
      {{"devices", "add", "4", "a\rb"}, 1, "cannot be stored"},  // CR is the padding byte
      {{"devices", "add", "4", "\xF0\x9F\x94\x8B"}, 1, "cannot be stored"},  // no GBK form
      {{"devices", "add", "3", "Twice"}, 1, "address 3 is taken by \"Kept\""},
      {{"devices", "add", "0", "Zero"}, 1, "1 to 252"},
      {{"devices", "add", "253", "Big"}, 1, "1 to 252"},
      {{"devices", "add", "x1", "Text"}, 1, "1 to 252"},
      {{"devices", "rename", "9", "Nobody"}, 1, "no device has address 9"},
      {{"devices", "rename", "3", ""}, 1, "empty"},
      {{"devices", "remove", "9"}, 1, "no device has address 9"},
      {{"devices", "add", "4"}, 2, "ADDRESS NAME"},
      {{"devices", "add", "4", "two", "words"}, 2, "quote a name"},
      {{"devices", "frobnicate"}, 2, "list, add, rename or remove"},
  };
  for (const TCase& c : cases) {
    EXPECT_EQ(Run(c.Args), c.Status) << c.Args[1] << " " << c.Args.size();
    EXPECT_NE(Err.find(c.Message), std::string::npos) << Err;
  }
  EXPECT_EQ(Read(Data + "Record/TreeNode.dat"), before);
}

TEST_F(Commands, namesOfExactlyFortyBytesFitUnpadded) {
  const std::string forty(40, 'n');
  ASSERT_EQ(Run({"devices", "add", "1", forty}), 0) << Err;
  ASSERT_EQ(Run({"devices", "add", "2", "一二三四五六七八九十一二三四五六七八九十"}), 0) << Err;
  const TDeviceList list = Loaded();
  EXPECT_EQ(std::string(list.Nodes[1].Name.data(), 40), forty);
  EXPECT_EQ(TrimDeviceName(list.Nodes[2].Name).size(), 40u);
}

TEST_F(Commands, aFullListRefusesAnotherDevice) {
  // 252 entries with address 5 free (a hand-made file may repeat an address).
  fs::create_directories(Data + "Record/");
  TDeviceList list(Data + "Record/");
  for (int a = 1; a <= MaxDevices; ++a) {
    list.Nodes[a].Address = static_cast<uint8_t>(a == 5 ? 1 : a);
    list.Nodes[a].Name = PadDeviceName("D");
  }
  list.Count = MaxDevices;
  list.SaveDeviceList();
  EXPECT_EQ(Run({"devices", "add", "5", "One too many"}), 1);
  EXPECT_NE(Err.find("already holds 252"), std::string::npos) << Err;
  EXPECT_EQ(Loaded().Count, MaxDevices);
}

TEST_F(Commands, configSetWritesKeysInPlaceAndKeepsTheRest) {
  fs::create_directories(Data);
  {
    std::ofstream ini(Data + "UserParaIni.ini");
    ini << "; operator's note\n[CommPort]\nComName=COM1\nBaudRate=9600\n[Custom]\nX=1\n";
  }
  ASSERT_EQ(Run({"config", "set", "ComName=/dev/ttyUSB0", "baudrate=4800", "Protocol=2", "Language=zh",
                 "DataLog.RecInterval=0", "NutListen=127.0.0.1:3493", "OnEvent=/bin/true", "MaxReSend=3",
                 "Web.Listen=[::1]:8080", "Web.Public=1"}),
            0)
      << Err;
  EXPECT_EQ(Err, "");
  TSettings s;
  (void)LoadSettings(s, Data + "UserParaIni.ini");
  EXPECT_EQ(s.PortInfo.ComName, "/dev/ttyUSB0");
  EXPECT_EQ(s.PortInfo.BaudRate, 4800);
  EXPECT_EQ(s.PortInfo.Protocol, 2);
  EXPECT_EQ(s.PortInfo.MaxReSend, 3);
  EXPECT_EQ(s.Language, 1);
  EXPECT_EQ(s.RecInterval, 0);
  EXPECT_EQ(s.NutListen, "127.0.0.1:3493");
  EXPECT_EQ(s.HookOnEvent, "/bin/true");
  EXPECT_EQ(s.WebListen, "[::1]:8080");
  EXPECT_TRUE(s.WebPublic);
  const std::string text = Read(Data + "UserParaIni.ini");
  EXPECT_EQ(text.rfind("; operator's note\n[CommPort]\nComName=/dev/ttyUSB0\nBaudRate=4800\n", 0), 0u) << text;
  EXPECT_NE(text.find("[Custom]\nX=1\n"), std::string::npos);

  ASSERT_EQ(Run({"config", "show"}), 0);
  EXPECT_NE(Out.find("\nComName=/dev/ttyUSB0\n"), std::string::npos) << Out;
  EXPECT_NE(Out.find("\nRecInterval=0\n"), std::string::npos);
  EXPECT_NE(Out.find("\nStopBits=1\n"), std::string::npos);  // a default, not in the file

  // Every interface, IPv6 loopback, and off.
  for (const char* value : {"0.0.0.0:3493", "[::1]:3493", ""}) {
    EXPECT_EQ(Run({"config", "set", std::string("NutListen=") + value}), 0) << value << ": " << Err;
    (void)LoadSettings(s, Data + "UserParaIni.ini");
    EXPECT_EQ(s.NutListen, value);
  }
  // The network server's users file: the section names it, as the web has one too.
  const std::string users = Data + "nut-users";
  std::ofstream(users) << "operator:" << ::crypt("right", ::crypt_gensalt("$y$", 0, nullptr, 0)) << ":all\n";
  fs::permissions(users, fs::perms::owner_read | fs::perms::owner_write);
  ASSERT_EQ(Run({"config", "set", "Network.UsersFile=" + users, "network.remotecommands=1"}), 0) << Err;
  (void)LoadSettings(s, Data + "UserParaIni.ini");
  EXPECT_EQ(s.NutUsersFile, users);
  EXPECT_TRUE(s.NutRemoteCommands);
  EXPECT_TRUE(s.WebUsersFile.empty());
  ASSERT_EQ(Run({"config", "show"}), 0);
  EXPECT_NE(Out.find("\nNetwork.UsersFile=" + users + "\n"), std::string::npos) << Out;
  EXPECT_NE(Out.find("\nWeb.UsersFile=\n"), std::string::npos) << Out;
  EXPECT_NE(Out.find("\nRemoteCommands=1\n"), std::string::npos) << Out;
  fs::permissions(users, fs::perms::others_read, fs::perm_options::add);
  EXPECT_EQ(Run({"config", "set", "Network.UsersFile=" + users}), 1);
  EXPECT_NE(Err.find("others can read"), std::string::npos) << Err;

  ASSERT_EQ(Run({"config", "set", "ComName=rfc2217://[2001:db8::10]:4001"}), 0) << Err;
  (void)LoadSettings(s, Data + "UserParaIni.ini");
  EXPECT_EQ(s.PortInfo.ComName, "rfc2217://[2001:db8::10]:4001");
}

TEST_F(Commands, configRefusesUnknownKeysAndBadValuesAndChangesNothing) {
  ASSERT_EQ(Run({"config", "set", "ComName=COM2"}), 0) << Err;
  const std::string before = Read(Data + "UserParaIni.ini");
  // A hook anyone may replace, which the monitor would refuse to run.
  const std::string openHook = (Dir / "open hook").string();
  std::ofstream(openHook) << "#!/bin/sh\n";
  fs::permissions(openHook, fs::perms(0777));
  struct TCase {
    std::string Assignment;
    std::string Message;
  } cases[] = {
      {"Colour=red", "unknown setting \"Colour\""},
      {"ComName", "is not KEY=VALUE"},
      {"ComName=COM0", "COM1 to COM256"},
      {"ComName=COM257", "COM1 to COM256"},
      {"ComName=ttyUSB0", "device path"},
      {"ComName=rfc2217://192.0.2.10", "no \":PORT\""},
      {"ComName=tcp://admin:pw@192.0.2.10:4001", "user or password"},
      {"BaudRate=0", "BaudRate is 0: no line speed"},  // the settings check's own words
      {"BaudRate=fast", "whole number"},
      {"ReadIntervalTimeout=0", "ReadIntervalTimeout is 0"},
      {"MaxReSend=1", "nothing is ever sent"},
      {"MaxReSend=258", "0 to 255"},
      {"Protocol=4", "only 0 to 3 are known"},
      {"Protocol=258", "0 to 255"},
      {"StopBits=3", "1 to 2"},
      {"FastPoll=yes", "0 to 1"},
      {"Language=fr", "1 or zh Chinese"},
      {"RecInterval=20", "at least 50"},
      {"RecInterval=-5", "at least 50"},
      {"NutListen=localhost", "no port number"},
      {"NutListen=localhost:3493", "write a numeric address and port, e.g. 127.0.0.1:3493"},
      {"NutListen=::1:3493", "[::1]:3493"},
      {"NutListen=:3493", "names no address"},
      {"NutListen=192.0.2.1:3493", "no interface of this machine has the address 192.0.2.1"},
      {"OnEvent=true", "absolute path"},
      {"OnEvent=/nonexistent/hook", "absolute path"},
      {"OnEvent=" + openHook, "would not be run: " + openHook + " may be written by others (mode 0777); chmod go-w"},
      {"Web.Listen=localhost:8080", "numeric address"},
      {"Web.Listen=8080x", "no port number"},
      {"Web.Listen=192.0.2.77:8080", "no interface of this machine has the address 192.0.2.77"},
      {"Web.UsersFile=users", "absolute path of a users file"},
      {"Web.UsersFile=/nonexistent/users", "/nonexistent/users"},
      {"Web.Public=yes", "0 to 1"},
      {"Network.UsersFile=users", "absolute path of a users file"},
      {"Network.UsersFile=/nonexistent/users", "lets no one give device commands"},
      {"UsersFile=/x", "\"UsersFile\" is a key of more than one section: write Network.UsersFile or Web.UsersFile"},
      {"RemoteCommands=yes", "0 to 1"},
      {"Shutdown.Rules=1:onbattery=0", "Shutdown.Rules: device 1: \"onbattery=0\" is not onbattery=SECONDS"},
      {"Rules=1:lowbattery;1:runtime=60", "device 1 is given twice"},
      {"Group=1,2:3", "Shutdown.Group: the count of a group of 2 is 1 to 2"},
      {"Schedule=1:every=30", "BatteryTest.Schedule: device 1 needs both every=DAYS and at=HH:MM"},
      {"BatteryTest.Schedule=1:every=30,at=25:00", "at=25:00"},
      {"Broker=broker:1883", "mqtt://HOST[:PORT] or mqtts://HOST[:PORT]"},
      {"Broker=mqtt://broker:0", "1 to 65535"},
      {"Prefix=a/#", "without a wildcard"},
      {"DiscoveryPrefix=/ha", "no empty level"},
      {"ClientId=two words", "printable ASCII without spaces"},
      {"PasswordFile=" + openHook, "PasswordFile: the password file " + openHook + " may be read or written by others"},
      {"Mqtt.PasswordFile=relative", "absolute path"},
      {"CaFile=/nonexistent/ca.pem", "CA certificates"},
      {"Keepalive=4", "5 to 3600"},
      {"Interval=0", "1 to 3600"},
      {"Mqtt.Commands=yes", "whoever may publish on PREFIX/upsN/command"},
  };
  for (const TCase& c : cases) {
    // A good assignment beside a bad one is not written either.
    EXPECT_EQ(Run({"config", "set", "BaudRate=2400", c.Assignment}), 1) << c.Assignment;
    EXPECT_NE(Err.find(c.Message), std::string::npos) << c.Assignment << ": " << Err;
    EXPECT_NE(Err.find("nothing changed"), std::string::npos);
  }
  EXPECT_EQ(Read(Data + "UserParaIni.ini"), before);
  EXPECT_EQ(Run({"config", "set"}), 2);
  EXPECT_EQ(Run({"config", "get"}), 2);
}

TEST_F(Commands, configKeepsTheShutdownPolicyAndClearsNoFsdWithoutAMonitor) {
  fs::create_directories(Data);
  ASSERT_EQ(Run({"config", "set", "Rules=1:onbattery=300,lowbattery;2:runtime=120", "Shutdown.Group=1,2:2"}), 0) << Err;
  TSettings s;
  (void)LoadSettings(s, Data + "UserParaIni.ini");
  EXPECT_EQ(s.ShutdownRules, "1:onbattery=300,lowbattery;2:runtime=120");
  EXPECT_EQ(s.ShutdownGroup, "1,2:2");
  ASSERT_EQ(Run({"config", "set", "Schedule=1:every=30,at=03:00"}), 0) << Err;
  (void)LoadSettings(s, Data + "UserParaIni.ini");
  EXPECT_EQ(s.TestSchedule, "1:every=30,at=03:00");
  ASSERT_EQ(Run({"config", "set", "Rules=", "Group="}), 0) << Err;
  (void)LoadSettings(s, Data + "UserParaIni.ini");
  EXPECT_EQ(s.ShutdownRules, "");
  // A forced shutdown lives only in a running monitor.
  EXPECT_EQ(Run({"config", "clear-fsd"}), 1);
  EXPECT_NE(Err.find("no monitor is running on " + Data), std::string::npos) << Err;
  EXPECT_FALSE(fs::exists(Data + "ClearFSD.request"));
}

TEST_F(Commands, aBadPortNameIsRefusedInTheLanguageOfTheSettings) {
  ASSERT_EQ(Run({"config", "set", "Language=1"}), 0) << Err;
  EXPECT_EQ(Run({"config", "set", "ComName=tcp://nohost"}), 1);
  EXPECT_NE(Err.find("“tcp://nohost” 在主机之后缺少“:端口”"), std::string::npos) << Err;
  ASSERT_EQ(Run({"config", "set", "Language=0"}), 0) << Err;
  EXPECT_EQ(Run({"config", "set", "ComName=tcp://nohost"}), 1);
  EXPECT_NE(Err.find("\"tcp://nohost\" has no \":PORT\" after the host"), std::string::npos) << Err;
}

TEST_F(Commands, configSetTakesTheMqttPublisher) {
  fs::create_directories(Data);
  const std::string password = Data + "mqtt-password";
  std::ofstream(password) << "s3cret\n";
  fs::permissions(password, fs::perms::owner_read | fs::perms::owner_write);
  ASSERT_EQ(Run({"config", "set", "Broker=mqtts://[::1]:8884", "User=tess", "PasswordFile=" + password,
                 "Prefix=site/bus2", "DiscoveryPrefix=", "Keepalive=60", "Interval=10", "Commands=1"}),
            0)
      << Err;
  TSettings s;
  (void)LoadSettings(s, Data + "UserParaIni.ini");
  EXPECT_EQ(s.MqttBroker, "mqtts://[::1]:8884");
  EXPECT_EQ(s.MqttUser, "tess");
  EXPECT_EQ(s.MqttPasswordFile, password);
  EXPECT_EQ(s.MqttPrefix, "site/bus2");
  EXPECT_EQ(s.MqttDiscoveryPrefix, "") << "empty announces nothing, not the default";
  EXPECT_EQ(s.MqttKeepalive, 60);
  EXPECT_EQ(s.MqttInterval, 10);
  EXPECT_TRUE(s.MqttCommands);
  ASSERT_EQ(Run({"config", "show"}), 0);
  EXPECT_NE(Out.find("\nBroker=mqtts://[::1]:8884\n"), std::string::npos) << Out;
  EXPECT_EQ(Out.find("s3cret"), std::string::npos) << Out;
}

TEST_F(Commands, configWarnsOfBadSettingsAlreadyInTheFile) {
  fs::create_directories(Data);
  std::ofstream(Data + "UserParaIni.ini") << "[CommMast]\nMaxReSend=0\n";
  ASSERT_EQ(Run({"config", "set", "Language=1"}), 0);
  EXPECT_NE(Err.find("warning: MaxReSend is 0"), std::string::npos) << Err;
  ASSERT_EQ(Run({"config", "show"}), 0);
  EXPECT_NE(Err.find("warning: MaxReSend is 0"), std::string::npos) << Err;
}

TEST_F(Commands, anUnreadableSettingsFileIsNotReplaced) {
  fs::create_directories(Data + "UserParaIni.ini");  // a directory where the file should be
  EXPECT_EQ(Run({"config", "set", "Language=1"}), 1);
  EXPECT_NE(Err.find("cannot read"), std::string::npos) << Err;
  EXPECT_EQ(Run({"config", "show"}), 1);
  EXPECT_TRUE(fs::is_directory(Data + "UserParaIni.ini"));
}

// A file someone else wrote that the commands do not fully understand is
// said to be so, and kept as it was before the command rewrites it.
TEST_F(Commands, filesNotUnderstoodAreNamedAndKeptBeforeARewrite) {
  fs::create_directories(Data + "Record");
  std::ofstream(Data + "UserParaIni.ini") << "[CommPort]\nComName=COM3\n\x01\x02 noise\nBaudRate=fast\n";
  ASSERT_EQ(Run({"config", "show"}), 0);
  EXPECT_NE(Err.find("UserParaIni.ini: line 3 is no setting"), std::string::npos) << Err;
  EXPECT_NE(Err.find("line 4: BaudRate=\"fast\" is not a whole number, so 9600 is used"), std::string::npos) << Err;
  ASSERT_EQ(Run({"config", "set", "Language=1"}), 0) << Err;
  EXPECT_NE(Err.find("line 3 is no setting"), std::string::npos) << Err;
  EXPECT_NE(Err.find("the file as it was is kept as " + Data + "UserParaIni.ini.bad"), std::string::npos) << Err;
  EXPECT_EQ(Read(Data + "UserParaIni.ini.bad"), "[CommPort]\nComName=COM3\n\x01\x02 noise\nBaudRate=fast\n");
  EXPECT_EQ(Read(Data + "UserParaIni.ini"), "[CommPort]\nComName=COM3\nBaudRate=fast\n[Language]\nLanguage=1\n");

  // Three devices cut to 100 bytes: the third is said to be missing, and the
  // file as it was is kept before the next change rewrites it.
  for (const char* a : {"1", "2", "3"}) ASSERT_EQ(Run({"devices", "add", a, std::string("UPS ") + a}), 0) << Err;
  fs::resize_file(Data + "Record/TreeNode.dat", 100);
  ASSERT_EQ(Run({"devices", "list"}), 0);
  EXPECT_EQ(Out, "1\tUPS 1\n2\tUPS 2\n");
  EXPECT_NE(Err.find("TreeNode.dat: it is 100 bytes, not a whole number of 42-byte devices"), std::string::npos) << Err;
  ASSERT_EQ(Run({"devices", "add", "4", "UPS 4"}), 0) << Err;
  EXPECT_NE(Err.find("a device may have been cut off"), std::string::npos) << Err;
  EXPECT_NE(Err.find("the list as it was is kept as " + Data + "Record/TreeNode_full.dat"), std::string::npos) << Err;
  EXPECT_EQ(fs::file_size(Data + "Record/TreeNode_full.dat"), 100u);
  ASSERT_EQ(Run({"devices", "add", "5", "UPS 5"}), 0) << Err;
  EXPECT_EQ(Err, "") << "said once, kept once";
}

TEST(DataDir, portableCopyBuildTreeOrPerUserDirectory) {
  const fs::path dir = fs::temp_directory_path() / ("tessaro_datadir_" + std::to_string(::getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir / "rw");
  fs::create_directories(dir / "ro");
  const std::string rw = (dir / "rw").string() + "/", ro = (dir / "ro").string() + "/";

  // A writable directory is a portable copy, whoever runs it.
  EXPECT_EQ(config::DefaultDataDir(rw, "/x/data", "/home/u"), rw);
  // Installed programs' directories never are, even for root, who may write them.
  EXPECT_EQ(config::DefaultDataDir("/usr/bin/", "/x/data", "/home/u"), "/x/data/tessaro/");
  EXPECT_EQ(config::DefaultDataDir("/usr/bin/", nullptr, "/home/u"), "/home/u/.local/share/tessaro/");
  EXPECT_EQ(config::DefaultDataDir("/usr/bin/", "relative", "/home/u"), "/home/u/.local/share/tessaro/");
  if (::geteuid() != 0) {
    ::chmod(ro.c_str(), 0555);
    EXPECT_EQ(config::DefaultDataDir(ro, nullptr, "/home/u"), "/home/u/.local/share/tessaro/");
    ::chmod(ro.c_str(), 0755);
  }
  // Not from a directory others may write (a copy of the program in a shared
  // directory would take its settings, and a hook, from whoever put them there).
  fs::permissions(dir / "rw", fs::perms(0777));
  EXPECT_EQ(config::DefaultDataDir(rw, "/x/data", "/home/u"), "/x/data/tessaro/");
  std::ofstream(dir / "rw" / "UserParaIni.ini") << "[Hooks]\nOnEvent=/tmp/planted\n";
  EXPECT_EQ(config::DefaultDataDir(rw, "/x/data", "/home/u"), "/x/data/tessaro/");
  if (::geteuid() == 0) {
    // Nor from another user's.
    fs::permissions(dir / "rw", fs::perms(0755));
    ASSERT_EQ(::chown(rw.c_str(), 65534, 65534), 0);
    EXPECT_EQ(config::DefaultDataDir(rw, "/x/data", "/home/u"), "/x/data/tessaro/");
  }
  // A settings file beside the program keeps it portable even where it cannot write.
  std::ofstream(dir / "ro" / "UserParaIni.ini") << "[Language]\nLanguage=1\n";
  ::chmod(ro.c_str(), 0555);
  EXPECT_EQ(config::DefaultDataDir(ro, nullptr, "/home/u"), ro);
  ::chmod(ro.c_str(), 0755);
  fs::remove_all(dir);
}

TEST_F(Commands, aMonitorStartsOnlyOnADirectoryNobodyElseCanChangeAndOnlyOnce) {
  const bool root = ::geteuid() == 0;
  const std::vector<std::string> args = {"--headless", "--data-dir", Data};
  struct TCase {
    const char* Name;
    std::function<void()> Setup;
    std::string Expect;  // in the refusal
    bool RootOnly = false;
  };
  const TCase cases[] = {
      {"data directory anyone may write", [&] { fs::create_directories(Data); fs::permissions(Data, fs::perms(0777)); },
       "may be written by others (mode 0777), and settings and event hooks are taken only from places that belong "
       "to " + (::geteuid() == 0 ? std::string() : UserName(::geteuid()) + " or ") +
           "root and that nobody else may write; chmod go-w " + Dir.string() + "/data"},
      {"settings file its group may write",
       [&] {
         fs::create_directories(Data);
         std::ofstream(Data + "UserParaIni.ini") << "[Hooks]\nOnEvent=/bin/true\n";
         fs::permissions(Data + "UserParaIni.ini", fs::perms(0664));
       },
       "the settings file " + Data + "UserParaIni.ini is not used: " + Data +
           "UserParaIni.ini may be written by its group (mode 0664)"},
      {"data directory of another user",
       [&] {
         fs::create_directories(Data);
         ASSERT_EQ(::chown(Data.c_str(), 65534, 65534), 0);
       },
       "belongs to nobody (uid 65534)", true},
      {"Record of another user",
       [&] {
         fs::create_directories(Data + "Record");
         ASSERT_EQ(::chown((Data + "Record").c_str(), 65534, 65534), 0);
       },
       "the directory " + Data + "Record is not used", true},
  };
  for (const TCase& c : cases) {
    if (c.RootOnly && !root) continue;
    fs::remove_all(Dir);
    c.Setup();
    TInstanceLock lock;
    std::string error;
    EXPECT_FALSE(config::PrepareMonitorDataDir(Data, args, lock, error)) << c.Name;
    EXPECT_NE(error.find(c.Expect), std::string::npos) << c.Name << ": " << error;
    EXPECT_FALSE(lock.Held());
  }
  if (root) {
    // The line to use instead.
    fs::remove_all(Dir);
    fs::create_directories(Data);
    ASSERT_EQ(::chown(Data.c_str(), 65534, 65534), 0);
    TInstanceLock lock;
    std::string error;
    EXPECT_FALSE(config::PrepareMonitorDataDir(Data, args, lock, error));
    EXPECT_NE(error.find("; run Tessaro as nobody: sudo -u nobody tessaro --data-dir " + Dir.string() +
                         "/data --headless"),
              std::string::npos)
        << error;
  }

  // A new directory is made private to its user, and held by one monitor at a time.
  fs::remove_all(Dir);
  const mode_t old = ::umask(0);
  TInstanceLock first, second;
  std::string error;
  const bool prepared = config::PrepareMonitorDataDir(Data, args, first, error);
  ::umask(old);
  ASSERT_TRUE(prepared) << error;
  EXPECT_EQ(fs::status(Data).permissions(), fs::perms(0755));
  EXPECT_FALSE(config::PrepareMonitorDataDir(Data, args, second, error));
  EXPECT_EQ(error, "another Tessaro (pid " + std::to_string(::getpid()) + ") is running on " + Data);
}

}  // namespace
