#include "platform/linux/bundle.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <plist/plist.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "plist_writer.h"

namespace linux_test {
namespace {

using namespace platform;
using namespace platform::linux_backend;

struct TemporaryFolder {
  TemporaryFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "veltrino-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path = pattern;
  }
  ~TemporaryFolder() { std::filesystem::remove_all(path, ignored); }

  std::filesystem::path path;
  std::error_code ignored;
};

PlistDictionary everyKind() {
  return PlistDictionary{
      {"Flag", true}, {"Off", false}, {"Count", std::int64_t{-7}}, {"Largest", std::int64_t{9223372036854775807}},
      {"Ratio", 0.25}, {"Text", std::string("caf\xc3\xa9 <&>")}, {"Bytes", PlistData{0, 1, 254, 255}},
      {"List", PlistArray{std::int64_t{1}, std::string("two"), PlistArray{}}},
      {"Nested", PlistDictionary{{"Inner", PlistDictionary{{"Deep", true}}}}},
  };
}

// |dictionary| as a binary plist, written by the library itself.
std::string binaryPlist(const PlistDictionary& dictionary) {
  const std::unique_ptr<void, decltype(&plist_free)> root(plistNode(PlistValue(dictionary)), &plist_free);
  char* bytes = nullptr;
  std::uint32_t length = 0;
  plist_to_bin(root.get(), &bytes, &length);
  std::string binary(bytes, length);
  plist_to_bin_free(bytes);
  return binary;
}

void writeFile(const std::filesystem::path& file, const std::string& bytes) {
  std::filesystem::create_directories(file.parent_path());
  std::ofstream(file, std::ios::binary) << bytes;
}

TEST(PlistTest, XmlAndBinaryPlistsReadBackEveryKind) {
  EXPECT_EQ(parsePlistDictionary(plistXml(everyKind())), everyKind());
  const auto binary = binaryPlist(everyKind());
  ASSERT_TRUE(binary.starts_with("bplist00"));
  EXPECT_EQ(parsePlistDictionary(binary), everyKind());
}

TEST(PlistTest, DatesAreLeftOutAndTheRestIsKept) {
  const std::string xml = R"(<plist version="1.0"><dict><key>Built</key><date>2024-01-02T03:04:05Z</date>
  <key>Dates</key><array><date>2024-01-02T03:04:05Z</date><string>kept</string></array></dict></plist>)";
  EXPECT_EQ(parsePlistDictionary(xml), (PlistDictionary{{"Dates", PlistArray{std::string("kept")}}}));
}

std::string nestedArrays(int depth) {
  std::string open, close;
  for (int i = 0; i < depth; ++i) open += "<array>", close += "</array>";
  return "<plist version=\"1.0\"><dict><key>k</key>" + open + "<true/>" + close + "</dict></plist>";
}

// {"\u00e9\u0000": "x"} as a binary plist: the key is UTF-16 and ends in U+0000.
std::string binaryKeyHoldingNul() {
  const unsigned char bytes[] = {
      'b',  'p',  'l',  'i',  's',  't',  '0',  '0',  0xd1, 0x01, 0x02, 0x62, 0x00, 0xe9, 0x00, 0x00, 0x51, 0x78,
      0x08, 0x0b, 0x10, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
      0x03, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x12};
  return std::string(reinterpret_cast<const char*>(bytes), sizeof bytes);
}

// What each class of fault is refused for.
struct BadPlist {
  const char* name;
  std::string bytes;
  const char* reason;
};

class BadPlistTest : public ::testing::TestWithParam<BadPlist> {};

TEST_P(BadPlistTest, IsRefusedWithItsReason) {
  const auto parsed = parsePlistDictionary(GetParam().bytes);
  ASSERT_FALSE(parsed);
  EXPECT_THAT(parsed.error(), ::testing::HasSubstr(GetParam().reason));
}

INSTANTIATE_TEST_SUITE_P(
    Refused, BadPlistTest,
    ::testing::Values(
        BadPlist{"empty", "", "is empty"}, BadPlist{"garbage", "not a plist at all", "does not parse"},
        BadPlist{"array_root", R"(<plist version="1.0"><array><string>a</string></array></plist>)",
                 "root is not a dictionary"},
        BadPlist{"binary_cut_short", "bplist00", "the property list"},
        // libplist would abort the process on reading that key; and a key such as
        // "Label\0", read up to its U+0000, would pass for another.
        BadPlist{"binary_key_holding_a_NUL", binaryKeyHoldingNul(), "U+0000"},
        BadPlist{"nested_absurdly_deep", nestedArrays(200000), "nested too deeply"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(PlistBundleTest, ReadsItsInfoPlistOnceAndNamesItsFrameworksFolder) {
  TemporaryFolder folder;
  const auto app = folder.path / "Veltrino.app";
  writeFile(app / "Contents" / "Info.plist", plistXml(everyKind()));
  PlistBundle bundle(app);
  EXPECT_EQ(bundle.privateFrameworksPath(), (app / "Contents" / "Frameworks").string());

  // Read from several threads at once: all get the same answer.
  std::vector<std::optional<PlistDictionary>> seen(4);
  std::vector<std::thread> threads;
  for (auto& slot : seen) threads.emplace_back([&] { slot = bundle.infoDictionary(); });
  for (auto& thread : threads) thread.join();
  for (const auto& one : seen) EXPECT_EQ(one, everyKind());

  // Once read it is kept, as the platform's bundle keeps it.
  writeFile(app / "Contents" / "Info.plist", plistXml({{"Changed", PlistValue(true)}}));
  EXPECT_EQ(bundle.infoDictionary(), everyKind());
}

TEST(PlistBundleTest, ABundleWithoutAReadableInfoPlistHasNone) {
  TemporaryFolder folder;
  writeFile(folder.path / "Broken.app" / "Contents" / "Info.plist", "<plist><dict><key>a</key>");
  EXPECT_EQ(PlistBundle(folder.path / "Broken.app").infoDictionary(), std::nullopt);
  // A relative path is taken from the current folder, where there is no such bundle.
  PlistBundle missing("some/where/X.app/");
  EXPECT_EQ(missing.path(), std::filesystem::current_path() / "some" / "where" / "X.app");
  EXPECT_EQ(missing.infoDictionary(), std::nullopt);
}

// Nothing but a regular file is read: a FIFO would hold the reader for ever, and a
// device (or a link to one) would feed it without end.
TEST(PlistBundleTest, OnlyARegularFileIsRead) {
  TemporaryFolder folder;
  const auto fifo = folder.path / "fifo.plist";
  const auto zero = folder.path / "zero.plist";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  std::filesystem::create_symlink("/dev/zero", zero);
  for (const auto& path : {fifo, zero, folder.path}) {
    const auto read = readPlistDictionary(path);
    ASSERT_FALSE(read) << path;
    EXPECT_THAT(read.error(), ::testing::HasSubstr("not a regular file")) << path;
  }
  // A link to a regular file is read.
  writeFile(folder.path / "real.plist", plistXml(everyKind()));
  std::filesystem::create_symlink("real.plist", folder.path / "linked.plist");
  EXPECT_EQ(readPlistDictionary(folder.path / "linked.plist"), everyKind());
}

}  // namespace
}  // namespace linux_test
