#include "app/ini_file.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "core/errors.h"

namespace qvx {
namespace {

namespace fs = std::filesystem;

class ScratchDir {
 public:
  ScratchDir() {
    std::string pattern = (fs::temp_directory_path() / "ini-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  ~ScratchDir() {
    std::error_code ec;
    for (const auto& entry : fs::recursive_directory_iterator(path_, ec)) {
      fs::permissions(entry.path(), fs::perms::owner_all, fs::perm_options::add, ec);
    }
    fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(path_, ec);
  }
  const fs::path& path() const { return path_; }
  std::string File(const std::string& name = "QVX71CONT.INI") const { return (path_ / name).string(); }

 private:
  fs::path path_;
};

void Put(const std::string& file, const std::string& bytes) {
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out << bytes;
}

std::string Get(const std::string& file) {
  std::ifstream in(file, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

std::size_t EntryCount(const fs::path& dir) {
  return static_cast<std::size_t>(std::distance(fs::directory_iterator(dir), fs::directory_iterator()));
}

// ---------------------------------------------------------------- reading

TEST(IniFileRead, MissingFileSectionOrKeyGivesTheDefault) {
  ScratchDir dir;
  TIniFile ini(dir.File());
  EXPECT_EQ(ini.ReadString("QVX71", "ADDR", "192.168.1.21"), "192.168.1.21");
  EXPECT_EQ(ini.ReadFloat("QVX71", "END", 100000), 100000);
  EXPECT_EQ(ini.ReadInteger("DISP", "AVE", 3), 3);
  EXPECT_TRUE(ini.ReadBool("DISP", "YAXIAUTO", true));

  Put(dir.File(), "[QVX71]\r\nSTART=5\r\n");
  EXPECT_EQ(ini.ReadString("DISP", "START", "d"), "d");
  EXPECT_EQ(ini.ReadString("QVX71", "END", "d"), "d");
  EXPECT_EQ(ini.ReadString("QVX71", "START", "d"), "5");
}

TEST(IniFileRead, IntegersAreDecimalOrHexadecimal) {
  ScratchDir dir;
  Put(dir.File(), "[DISP]\nAVE=0x2\nA=0X1f\nB=-4\nC=0x\nD=12abc\nE=1.5\n");
  TIniFile ini(dir.File());
  EXPECT_EQ(ini.ReadInteger("DISP", "AVE", 0), 2);
  EXPECT_EQ(ini.ReadInteger("DISP", "A", 0), 31);
  EXPECT_EQ(ini.ReadInteger("DISP", "B", 0), -4);
  EXPECT_EQ(ini.ReadInteger("DISP", "C", 7), 7);
  EXPECT_EQ(ini.ReadInteger("DISP", "D", 7), 7);
  EXPECT_EQ(ini.ReadInteger("DISP", "E", 7), 7);
}

TEST(IniFileRead, EmptyValueIsEmptyTextButTheDefaultForNumbers) {
  ScratchDir dir;
  Put(dir.File(), "[QVX71]\r\nADDR=\r\nSTART=\r\nAVE=   \r\nFLIST=\r\n");
  TIniFile ini(dir.File());
  EXPECT_EQ(ini.ReadString("QVX71", "ADDR", "192.168.1.21"), "");
  EXPECT_EQ(ini.ReadString("QVX71", "AVE", "32"), "");
  EXPECT_EQ(ini.ReadFloat("QVX71", "START", 12.5), 12.5);
  EXPECT_EQ(ini.ReadInteger("QVX71", "START", 4), 4);
  EXPECT_TRUE(ini.ReadBool("QVX71", "FLIST", true));
}

TEST(IniFileRead, NonNumbersGiveTheDefaultSilently) {
  ScratchDir dir;
  Put(dir.File(), "[QVX71]\r\nSTART=abc\r\nEND=1.0E5\r\nSCALE=1e-8\r\nFLIST=yes\r\nA=-3\r\nB=0x0\r\n");
  TIniFile ini(dir.File());
  EXPECT_EQ(ini.ReadFloat("QVX71", "START", 0), 0);
  EXPECT_EQ(ini.ReadFloat("QVX71", "END", 0), 100000);
  EXPECT_EQ(ini.ReadFloat("QVX71", "SCALE", 0), 1e-8);
  EXPECT_FALSE(ini.ReadBool("QVX71", "FLIST", false));
  EXPECT_TRUE(ini.ReadBool("QVX71", "FLIST", true));
  // A flag is any non-zero integer.
  EXPECT_TRUE(ini.ReadBool("QVX71", "A", false));
  EXPECT_FALSE(ini.ReadBool("QVX71", "B", true));
}

TEST(IniFileRead, NamesMatchWithoutCaseAndBlanksAroundAreIgnored) {
  ScratchDir dir;
  Put(dir.File(), "  [ qvx71 ]  \r\n\t start =  42.5 \t\r\n[Disp]\r\nLvMax=  5 0  \r\n");
  TIniFile ini(dir.File());
  EXPECT_EQ(ini.ReadFloat("QVX71", "START", 0), 42.5);
  EXPECT_EQ(ini.ReadFloat("Qvx71", "Start", 0), 42.5);
  EXPECT_EQ(ini.ReadString("DISP", "LVMAX", ""), "5 0");
}

TEST(IniFileRead, SameKeyInTwoSectionsStaysApartAndCommentsAreNotKeys) {
  ScratchDir dir;
  Put(dir.File(),
      "AVE=99\r\n[QVX71]\r\n;AVE=1\r\nAVE=32\r\n[DISP]\r\n# AVE=2\r\nAVE=4\r\nnot a key line\r\n");
  TIniFile ini(dir.File());
  EXPECT_EQ(ini.ReadString("QVX71", "AVE", ""), "32");
  EXPECT_EQ(ini.ReadInteger("DISP", "AVE", 0), 4);
}

TEST(IniFileRead, TextIsCutAt2047Bytes) {
  ScratchDir dir;
  const std::string exact(2047, 'a');
  const std::string longer = std::string(2047, 'b') + "cdef";
  Put(dir.File(), "[S]\nexact=" + exact + "\nlong=" + longer + "\n");
  TIniFile ini(dir.File());
  EXPECT_EQ(ini.ReadString("S", "exact", ""), exact);
  EXPECT_EQ(ini.ReadString("S", "long", ""), std::string(2047, 'b'));
}

TEST(IniFileRead, AByteOrderMarkBeforeTheFirstSectionIsSkipped) {
  ScratchDir dir;
  Put(dir.File(), "\xEF\xBB\xBF[QVX71]\r\nADDR=127.0.0.5\r\n");
  EXPECT_EQ(TIniFile(dir.File()).ReadString("QVX71", "ADDR", ""), "127.0.0.5");
}

TEST(IniFileRead, ADirectoryInPlaceOfTheFileReadsAsMissing) {
  ScratchDir dir;
  fs::create_directory(dir.File());
  EXPECT_EQ(TIniFile(dir.File()).ReadString("QVX71", "ADDR", "dflt"), "dflt");
}

// ---------------------------------------------------------------- writing

TEST(IniFileWrite, ANewFileGetsSectionsInOrderWithCrLf) {
  ScratchDir dir;
  TIniFile ini(dir.File());
  ini.WriteString("QVX71", "ADDR", "192.168.1.21");
  ini.WriteFloat("QVX71", "OFFSET", -7e-8);
  ini.WriteString("DISP", "LVMIN", "0");
  ini.WriteInteger("DISP", "AVE", -1);
  ini.WriteBool("DISP", "YAXIAUTO", true);
  ini.WriteBool("QVX71", "FLIST", false);
  EXPECT_EQ(Get(dir.File()),
            "[QVX71]\r\nADDR=192.168.1.21\r\nOFFSET=-7E-8\r\nFLIST=0\r\n"
            "[DISP]\r\nLVMIN=0\r\nAVE=-1\r\nYAXIAUTO=1\r\n");
}

TEST(IniFileWrite, ValuesAreReplacedInPlaceAndEverythingElseKept) {
  ScratchDir dir;
  const std::string before =
      "; settings\r\n[QVX71]\r\n  end = 1.0E5 \r\nMYKEY=keep me\r\ngarbage line\r\n\r\n"
      "[DISP]\r\nLVMAX=100\r\n";
  Put(dir.File(), before);
  TIniFile ini(dir.File());
  ini.WriteFloat("QVX71", "END", ini.ReadFloat("QVX71", "END", 0));
  ini.WriteString("disp", "lvmax", "50");
  EXPECT_EQ(Get(dir.File()),
            "; settings\r\n[QVX71]\r\nend=100000\r\nMYKEY=keep me\r\ngarbage line\r\n\r\n"
            "[DISP]\r\nLVMAX=50\r\n");
}

TEST(IniFileWrite, MissingKeyGoesAfterTheLastKeyOfItsSection) {
  ScratchDir dir;
  Put(dir.File(), "[QVX71]\nADDR=a\n; note\nSTART=0\n\n\n[EMPTY]\n\n[DISP]\nLVMIN=0");
  TIniFile ini(dir.File());
  ini.WriteString("QVX71", "TDIV", "0.01");
  ini.WriteString("EMPTY", "K", "e");
  ini.WriteString("DISP", "LVMAX", "100");
  ini.WriteString("EXTRA", "K", "v");
  // The file's own LF endings are kept, and its unterminated last line gets one.
  EXPECT_EQ(Get(dir.File()),
            "[QVX71]\nADDR=a\n; note\nSTART=0\nTDIV=0.01\n\n\n[EMPTY]\nK=e\n\n"
            "[DISP]\nLVMIN=0\nLVMAX=100\n[EXTRA]\nK=v\n");
}

TEST(IniFileWrite, EmptyAddressIsWrittenBackEmpty) {
  ScratchDir dir;
  Put(dir.File(), "[QVX71]\r\nADDR=\r\n");
  TIniFile ini(dir.File());
  const std::string addr = ini.ReadString("QVX71", "ADDR", "192.168.1.21");
  ini.WriteString("QVX71", "ADDR", addr);
  EXPECT_EQ(Get(dir.File()), "[QVX71]\r\nADDR=\r\n");
}

TEST(IniFileWrite, TextRoundTripsByteForByte) {
  ScratchDir dir;
  TIniFile ini(dir.File());
  const std::string texts[] = {"設定 の 値", "a  b\tc", "1.0E5", "007", "=x=", "\xFF\x80"};
  for (const std::string& text : texts) {
    ini.WriteString("DISP", "LVMIN", text);
    EXPECT_EQ(ini.ReadString("DISP", "LVMIN", "?"), text);
  }
  EXPECT_EQ(Get(dir.File()), "[DISP]\r\nLVMIN=\xFF\x80\r\n");
}

TEST(IniFileWrite, TextThatWouldBreakTheFileIsRefused) {
  ScratchDir dir;
  Put(dir.File(), "[DISP]\r\nLVMIN=0\r\n");
  TIniFile ini(dir.File());
  EXPECT_THROW(ini.WriteString("DISP", "LVMIN", "1\r\n[QVX71]"), EIniFileException);
  EXPECT_THROW(ini.WriteString("DISP", "A=B", "1"), EIniFileException);
  EXPECT_THROW(ini.WriteString("DI]SP", "A", "1"), EIniFileException);
  EXPECT_EQ(Get(dir.File()), "[DISP]\r\nLVMIN=0\r\n");
}

TEST(IniFileWrite, AnotherWorkingDirectoryMeansAnotherFile) {
  ScratchDir first;
  ScratchDir second;
  const fs::path original = fs::current_path();
  TIniFile ini("./QVX71CONT.INI");

  fs::current_path(first.path());
  ini.WriteString("QVX71", "ADDR", "127.0.0.7");
  fs::current_path(second.path());
  const std::string readThere = ini.ReadString("QVX71", "ADDR", "default");
  ini.WriteString("QVX71", "ADDR", "127.0.0.8");
  fs::current_path(original);

  EXPECT_EQ(readThere, "default");
  EXPECT_EQ(Get(first.File()), "[QVX71]\r\nADDR=127.0.0.7\r\n");
  EXPECT_EQ(Get(second.File()), "[QVX71]\r\nADDR=127.0.0.8\r\n");
  EXPECT_EQ(ini.FileName(), "./QVX71CONT.INI");
}

TEST(IniFileWrite, PermissionsAreKeptAndNoTemporaryFileIsLeft) {
  ScratchDir dir;
  Put(dir.File(), "[QVX71]\r\nADDR=a\r\n");
  ASSERT_EQ(::chmod(dir.File().c_str(), 0640), 0);
  TIniFile ini(dir.File());
  ini.WriteString("QVX71", "ADDR", "b");
  struct stat st {};
  ASSERT_EQ(::stat(dir.File().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_EQ(EntryCount(dir.path()), 1u);
}

TEST(IniFileWrite, WritingThroughASymbolicLinkKeepsTheLink) {
  ScratchDir dir;
  Put(dir.File("real.ini"), "[QVX71]\r\nADDR=a\r\n");
  fs::create_symlink(dir.File("real.ini"), dir.File());
  TIniFile ini(dir.File());
  ini.WriteString("QVX71", "ADDR", "b");
  EXPECT_TRUE(fs::is_symlink(dir.File()));
  EXPECT_EQ(Get(dir.File("real.ini")), "[QVX71]\r\nADDR=b\r\n");
}

// ---------------------------------------------------------------- failing writes

void ExpectWriteError(TIniFile& ini) {
  try {
    ini.WriteString("QVX71", "ADDR", "x");
    ADD_FAILURE() << "no error";
  } catch (const EIniFileException& e) {
    EXPECT_STREQ(e.what(), (ini.FileName() + " に書き込めません").c_str());
  }
}

TEST(IniFileWriteFailure, ReadOnlyFileIsNeitherWrittenNorReplaced) {
  ScratchDir dir;
  const std::string before = "[QVX71]\r\nADDR=a\r\n";
  Put(dir.File(), before);
  ASSERT_EQ(::chmod(dir.File().c_str(), 0444), 0);
  TIniFile ini(dir.File());
  ExpectWriteError(ini);
  EXPECT_EQ(Get(dir.File()), before);
  struct stat st {};
  ASSERT_EQ(::stat(dir.File().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0444u);
  EXPECT_EQ(EntryCount(dir.path()), 1u);
}

TEST(IniFileWriteFailure, DirectoryInPlaceOfTheFile) {
  ScratchDir dir;
  fs::create_directory(dir.File());
  TIniFile ini(dir.File());
  ExpectWriteError(ini);
  EXPECT_TRUE(fs::is_directory(dir.File()));
}

TEST(IniFileWriteFailure, MissingOrReadOnlyFolder) {
  ScratchDir dir;
  TIniFile missing((dir.path() / "no-such-folder" / "QVX71CONT.INI").string());
  ExpectWriteError(missing);

  fs::create_directory(dir.File("locked"));
  ASSERT_EQ(::chmod(dir.File("locked").c_str(), 0555), 0);
  TIniFile locked(dir.File("locked/QVX71CONT.INI"));
  ExpectWriteError(locked);
  EXPECT_EQ(EntryCount(dir.File("locked")), 0u);
}

}  // namespace
}  // namespace qvx
