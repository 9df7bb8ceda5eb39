// The catalogue's wording is what hosts match on; these pin the texts that are easy to "fix" by mistake.
#include <cctype>
#include <set>

#include <gtest/gtest.h>

#include <clocale>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>

#include "messages/SMessages.h"
#include "platform/OleAuto.h"

using messages::FormatMsg;
using messages::Msg;

TEST(Catalogue, KeepsTheSystemsOwnMisspellings) {
  EXPECT_EQ(FormatMsg(Msg::CapabilityAccess, 111, "BOOL"), "E08 - Capability 111 can non be accessed as BOOL");
  EXPECT_EQ(messages::LoadStr(Msg::LblStopOnCount), "Stop after number of samples recieved");
  EXPECT_EQ(messages::LoadStr(Msg::LblSampleCount), "Samples to recieve:");
  EXPECT_EQ(messages::LoadStr(Msg::LblTestReceiver), "Test RS232 reciever");
  EXPECT_EQ(messages::LoadStr(Msg::LblStartImmediately), "Start sampling immediatelly");
  EXPECT_EQ(messages::LoadStr(Msg::LblCustomCommand), "Excecute custom command");
  EXPECT_EQ(messages::LoadStr(Msg::UnbindWhileSampling), "E12 - Can not unbound channel - sampling in progress");
  EXPECT_EQ(FormatMsg(Msg::DiagnotorNotValid, 201), "E21 - Diagnotor 201 is not valid");
}

TEST(Catalogue, HardwareTextsGoOnASecondLine) {
  EXPECT_EQ(FormatMsg(Msg::HardwareFatal, "N1"), "E13 - Hardware has reported unrecoverable error:\r\nN1");
  EXPECT_EQ(FormatMsg(Msg::CommandFailed, "Q3 bad"), "E14 - Command has failed with error:\r\nQ3 bad");
}

TEST(Catalogue, ErrorCodesRunFromE01ToE24WithoutE19) {
  std::set<int> codes;
  for (int i = 0; i < static_cast<int>(Msg::Count_); ++i) {
    std::string t = messages::DefaultText(static_cast<Msg>(i));
    if (t.size() > 6 && t[0] == 'E' && isdigit(t[1]) && isdigit(t[2]) && t.compare(3, 3, " - ") == 0)
      codes.insert(std::stoi(t.substr(1, 2)));
  }
  std::set<int> expected;
  for (int c = 1; c <= 24; ++c)
    if (c != 19) expected.insert(c);
  for (int c : expected) EXPECT_TRUE(codes.count(c)) << "E" << c;
  EXPECT_FALSE(codes.count(19));
}

TEST(Catalogue, FormatsWithExactlyTheListedArguments) {
  EXPECT_EQ(FormatMsg(Msg::IndexOutOfBounds, 0, 0, -1), "E11 - Index (0) out of bounds [0..-1]");
  EXPECT_EQ(FormatMsg(Msg::StOpen, 115200), "Open (max baud rate is 115200)");
  EXPECT_EQ(FormatMsg(Msg::StLastCommandFailed, "E23 - Hardware did not respond"),
            "Last command failed. E23 - Hardware did not respond");
  EXPECT_EQ(FormatMsg(Msg::LblModeBuffering, 2048), "&Buffering 2048 samples");
}

namespace {

// A gettext catalogue file (.mo) with the given UTF-8 translations.
void WriteCatalogue(const std::filesystem::path& file, const std::map<std::string, std::string>& entries) {
  std::map<std::string, std::string> all = entries;
  all[""] = "Content-Type: text/plain; charset=UTF-8\n";
  const uint32_t n = static_cast<uint32_t>(all.size());
  std::string ids, strs;
  std::vector<uint32_t> table;
  const uint32_t data = 28 + n * 16;
  uint32_t at = data;
  for (const auto& [id, text] : all) table.insert(table.end(), {uint32_t(id.size()), at}), at += id.size() + 1;
  for (const auto& [id, text] : all) table.insert(table.end(), {uint32_t(text.size()), at}), at += text.size() + 1;
  for (const auto& [id, text] : all) ids += id + '\0', strs += text + '\0';
  const uint32_t header[7] = {0x950412de, 0, n, 28, 28 + n * 8, 0, 0};
  std::filesystem::create_directories(file.parent_path());
  std::ofstream out(file, std::ios::binary);
  out.write(reinterpret_cast<const char*>(header), sizeof header);
  out.write(reinterpret_cast<const char*>(table.data()), static_cast<std::streamsize>(table.size() * 4));
  out << ids << strs;
}

}  // namespace

// A translation reaches the host as the characters it was written with.
TEST(Catalogue, TranslatedTextReachesTheHostAsTheRightCharacters) {
  const auto dir = std::filesystem::temp_directory_path() / ("quelm-locale-" + std::to_string(::getpid()));
  WriteCatalogue(dir / "de" / "LC_MESSAGES" / "quelm.mo",
                 {{"Ready to start sampling", "Bereit f\u00FCr die Abtastung"}});
  ::setenv("QUELM_LOCALEDIR", dir.c_str(), 1);
  ::setenv("LANGUAGE", "de", 1);
  if (std::setlocale(LC_ALL, "C.UTF-8") == nullptr) GTEST_SKIP() << "no C.UTF-8 locale here";
  const std::string text = messages::LoadStr(Msg::StReady);
  platform::BStr b(text);
  EXPECT_EQ(platform::OleString(b.Get(), SysStringLen(b.Get())), OLESTR("Bereit f\u00FCr die Abtastung"));
  std::setlocale(LC_ALL, "C");
  std::filesystem::remove_all(dir);
}
