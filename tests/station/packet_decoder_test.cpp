// Decoding of station packets: the class table and the object-number rules.
#include "station/packet_decoder.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/support/ini_edits.h"
#include "tests/support/temp_dir.h"

namespace drvvzt {
namespace {

// A packet with the given object digits, section digits and class digits
// (offsets 17-22); everything else is filler that the decoder does not read.
std::string MakePacket(const std::string& object = "00A1", const std::string& section = "01",
                       const std::string& class_digits = "03002A") {
  std::string p(kPacketSize, 'x');
  p[2] = '1';
  p[3] = 'B';
  p[5] = '7';
  p.replace(8, 4, object);
  p.replace(14, 2, section);
  p.replace(17, 6, class_digits);
  return p;
}

std::span<const std::uint8_t, kPacketSize> Bytes(const std::string& p) {
  return std::span<const std::uint8_t, kPacketSize>(
      reinterpret_cast<const std::uint8_t*>(p.data()), kPacketSize);
}

std::string CodeText(const TEventCode& code) { return std::string(code.Chars.data(), 4); }

TEST(ClassTable, Examples) {
  struct Case {
    const char* digits;
    const char* code;  // all four character bytes
    int length;
    int zone;
    int section;
  } cases[] = {
      {"03002A", "0320", 4, 10, 1},
      {"030015", "0315", 4, 0, 1},
      {"030a0b", "030b", 4, 0, 1},
      {"05007F", "0540", 4, 63, 1},
      {"05A3C0", "05C0", 4, 0xA3C0, 1},
      {"0A0010", "7000", 3, 16, 3},  // "700" keeps the received fourth character
      {"4A0001", "4800", 4, 1, 2},
      {"0G0001", "0G01", 4, 1, 1},
      {"020001", "0201", 4, 0x0001, 1},     // below the table
      {"06FFFF", "0600", 4, 0xFF, 1},
      {"0700FF", "700F", 3, 0xFF, 0},
      {"46FFFF", "700F", 3, 0xFF, 0x3F},
      {"4700FF", "4700", 4, 0xFF, 1},
      {"87FFFF", "4800", 4, 0xFF, 0x3F},
      {"88FF00", "8800", 4, 0xFF00, 1},  // above the table
  };
  for (const auto& c : cases) {
    const std::string p = MakePacket("00A1", "01", c.digits);
    const ClassResult r = ClassifyPacket(Bytes(p), 1);
    EXPECT_EQ(CodeText(r.Code), c.code) << c.digits;
    EXPECT_EQ(r.Code.Length, c.length) << c.digits;
    EXPECT_EQ(r.Zone, c.zone) << c.digits;
    EXPECT_EQ(r.SectionNumber, c.section) << c.digits;
  }
}

TEST(PacketConversions, MalformedTextReadsAsZero) {
  EXPECT_EQ(PacketHexValue("00A1"), 0xA1u);
  EXPECT_EQ(PacketHexValue("0 A1"), 0u);
  EXPECT_EQ(PacketHexValue("ffff"), 0xFFFFu);
  EXPECT_EQ(PacketDecimalValue("12"), 12);
  EXPECT_EQ(PacketDecimalValue("0A"), 0);
  EXPECT_EQ(PacketDecimalValue(" 7"), 7);
  EXPECT_EQ(PacketDecimalValue("-1"), -1);
  EXPECT_EQ(PacketDecimalValue("7 "), 0);
  EXPECT_EQ(PacketDecimalValue("$1"), 0);
  EXPECT_EQ(PacketDecimalValue("x"), 0);
}

class ObjectNumberTest : public ::testing::Test {
protected:
  TStationEvent Decode(const std::string& object, const std::string& section, bool razdel,
                       std::int32_t first_number = 4) {
    DecoderSettings s{first_number, razdel, ini};
    const std::string p = MakePacket(object, section);
    return DecodePacket(Bytes(p), s, 45000.25);
  }
  // drvvzt.ini complete since a minute ago, moved into place. (A file written
  // in place cannot be made to look that old: its change time is now.)
  void WriteSettledIni(const std::string& text) {
    testing::ReplaceByRename(dir.File("drvvzt.ini"), text, clock.Now() - 60 * testing::kNsPerSecond);
  }
  testing::TempDir dir;
  testing::FakeWallClock clock;
  std::shared_ptr<IniSnapshot> ini =
      std::make_shared<IniSnapshot>(IniPathIn(dir.path().string()), clock.Function(), 0);
};

TEST_F(ObjectNumberTest, OffsetRazdelAndReplacement) {
  EXPECT_EQ(Decode("00A1", "12", false).ObjectNumber, 40161);  // no drvvzt.ini at all
  EXPECT_EQ(Decode("00A1", "12", true).ObjectNumber, 40179);
  WriteSettledIni("[Razdels]\n161_12=7\n0_1=9\n161_0=3\n5_1=-1\n");
  EXPECT_EQ(Decode("00A1", "12", false).ObjectNumber, 40007);
  EXPECT_EQ(Decode("0 A1", "01", false).ObjectNumber, 40009);  // non-hex object -> key 0_1
  EXPECT_EQ(Decode("00A1", "0A", true).ObjectNumber, 40003 + 10);  // section 0, addend 10
  EXPECT_EQ(Decode("0005", "01", false).ObjectNumber, 40005);      // -1: no replacement
  EXPECT_EQ(Decode("FFFF", "01", false, 214748).ObjectNumber,
            static_cast<std::int32_t>(0xFFFFu + 214748u * 10000u));  // wraps silently
}

TEST_F(ObjectNumberTest, RazdelsEditTakesEffectOnceSettled) {
  EXPECT_EQ(Decode("00A1", "12", false).ObjectNumber, 40161);
  WriteSettledIni("[razdels]\n161_12=1\n");
  EXPECT_EQ(Decode("00A1", "12", false).ObjectNumber, 40001);
  clock.AdvanceMs(1000);
  WriteSettledIni("[Razdels]\n161_12=2\n");
  EXPECT_EQ(Decode("00A1", "12", false).ObjectNumber, 40002);
}

TEST_F(ObjectNumberTest, MappingHoldsWhileTheFileIsHalfWritten) {
  const std::string full = "[main]\nComPort=COM1\n[Razdels]\n161_12=7\n";
  WriteSettledIni(full);
  EXPECT_EQ(Decode("00A1", "12", false).ObjectNumber, 40007);
  // An editor saving in place, caught after each piece it writes.
  for (std::size_t written = 0; written < full.size(); written += 5) {
    testing::RewriteInPlace(ini->Path(), full.substr(0, written), clock.Now());
    EXPECT_EQ(Decode("00A1", "12", false).ObjectNumber, 40007) << written << " bytes written";
    clock.AdvanceMs(100);
  }
  testing::RewriteInPlace(ini->Path(), "[Razdels]\n161_12=8\n", clock.Now());
  clock.AdvanceMs(1000);
  EXPECT_EQ(Decode("00A1", "12", false).ObjectNumber, 40008);
}

TEST(PacketDecoder, WholeRecord) {
  std::string p = MakePacket("00A1", "01", "0A0010");
  p[3] = 'c';
  p[5] = 'z';  // not a digit -> 0
  const TStationEvent e = DecodePacket(Bytes(p), DecoderSettings{0, false, nullptr}, 45000.5);
  EXPECT_EQ(e.Kind, 15);
  EXPECT_EQ(e.ObjectNumber, 0xA1);
  EXPECT_EQ(e.Code.Length, 3);
  EXPECT_EQ(e.Zone, 16);
  EXPECT_EQ(e.Digit3, 12);
  EXPECT_EQ(e.Digit5, 0);
  EXPECT_EQ(e.Time, 45000.5);
}

}  // namespace
}  // namespace drvvzt
