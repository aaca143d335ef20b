#include "settings/ini_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <iterator>
#include <string>

#include "core/errors.h"
#include "support/temp_work_dir.h"

// Every test works in a fresh working directory, so file names are relative to it.
namespace qvx {
namespace {

namespace fs = std::filesystem;
using test::TempWorkDir;

std::size_t EntryCount(const fs::path& dir) {
  return static_cast<std::size_t>(std::distance(fs::directory_iterator(dir), fs::directory_iterator()));
}

// Names match without case and blanks around names and values are ignored; only key
// lines of the section count (not comments, not keys before any section); text is cut
// at 2047 bytes; a byte-order mark at the start is skipped.
TEST(IniFileRead, KeysAreFoundOnlyInTheirSection) {
  TempWorkDir dir;
  const std::string exact(2047, 'a');
  dir.Write("QVX71CONT.INI",
            "\xEF\xBB\xBF"
            "AVE=99\r\n  [ qvx71 ]  \r\n;AVE=1\r\n\t start =  42.5 \t\r\nAVE=32\r\n"
            "not a key line\r\n[Disp]\r\n# AVE=2\r\nLvMax=  5 0  \r\nexact=" +
                exact + "\r\nlong=" + std::string(2047, 'b') + "cdef\r\n");
  TIniFile ini("QVX71CONT.INI");
  EXPECT_EQ(ini.ReadFloat("QVX71", "START", 0), 42.5);
  EXPECT_EQ(ini.ReadFloat("Qvx71", "Start", 0), 42.5);
  EXPECT_EQ(ini.ReadString("QVX71", "AVE", ""), "32");
  EXPECT_EQ(ini.ReadString("DISP", "AVE", "none"), "none");
  EXPECT_EQ(ini.ReadString("DISP", "LVMAX", ""), "5 0");
  EXPECT_EQ(ini.ReadString("DISP", "exact", ""), exact);
  EXPECT_EQ(ini.ReadString("DISP", "long", ""), std::string(2047, 'b'));
}

TEST(IniFileWrite, ValuesAreReplacedInPlaceAndEverythingElseKept) {
  TempWorkDir dir;
  dir.Write("QVX71CONT.INI",
            "; settings\r\n[QVX71]\r\n  end = 1.0E5 \r\nMYKEY=keep me\r\ngarbage line\r\n\r\n[DISP]\r\nLVMAX=100\r\n");
  TIniFile ini("QVX71CONT.INI");
  ini.WriteFloat("QVX71", "END", ini.ReadFloat("QVX71", "END", 0));
  ini.WriteString("disp", "lvmax", "50");
  EXPECT_EQ(dir.Read("QVX71CONT.INI"),
            "; settings\r\n[QVX71]\r\nend=100000\r\nMYKEY=keep me\r\ngarbage line\r\n\r\n"
            "[DISP]\r\nLVMAX=50\r\n");
}

TEST(IniFileWrite, MissingKeyGoesAfterTheLastKeyOfItsSection) {
  TempWorkDir dir;
  dir.Write("QVX71CONT.INI", "[QVX71]\nADDR=a\n; note\nSTART=0\n\n\n[EMPTY]\n\n[DISP]\nLVMIN=0");
  TIniFile ini("QVX71CONT.INI");
  ini.WriteString("QVX71", "TDIV", "0.01");
  ini.WriteString("EMPTY", "K", "e");
  ini.WriteString("DISP", "LVMAX", "100");
  ini.WriteString("EXTRA", "K", "v");
  // The file's own LF endings are kept, and its unterminated last line gets one.
  EXPECT_EQ(dir.Read("QVX71CONT.INI"),
            "[QVX71]\nADDR=a\n; note\nSTART=0\nTDIV=0.01\n\n\n[EMPTY]\nK=e\n\n"
            "[DISP]\nLVMIN=0\nLVMAX=100\n[EXTRA]\nK=v\n");
}

TEST(IniFileWrite, TextRoundTripsByteForByteAndTextThatWouldBreakTheFileIsRefused) {
  TempWorkDir dir;
  TIniFile ini("QVX71CONT.INI");
  for (const std::string text : {"設定 の 値", "a  b\tc", "1.0E5", "007", "=x=", "\xFF\x80"}) {
    ini.WriteString("DISP", "LVMIN", text);
    EXPECT_EQ(ini.ReadString("DISP", "LVMIN", "?"), text);
  }
  EXPECT_EQ(dir.Read("QVX71CONT.INI"), "[DISP]\r\nLVMIN=\xFF\x80\r\n");  // a new file gets CR LF
  EXPECT_THROW(ini.WriteString("DISP", "LVMIN", "1\r\n[QVX71]"), EIniFileException);
  EXPECT_THROW(ini.WriteString("DISP", "A=B", "1"), EIniFileException);
  EXPECT_THROW(ini.WriteString("DI]SP", "A", "1"), EIniFileException);
  EXPECT_EQ(dir.Read("QVX71CONT.INI"), "[DISP]\r\nLVMIN=\xFF\x80\r\n");
}

TEST(IniFileWrite, ReplacingTheFileKeepsItsModeAndItsLinkAndLeavesNoTemporaryFile) {
  TempWorkDir dir;
  dir.Write("real.ini", "[QVX71]\r\nADDR=a\r\n");
  ASSERT_EQ(::chmod("real.ini", 0640), 0);
  fs::create_symlink("real.ini", "QVX71CONT.INI");
  TIniFile("QVX71CONT.INI").WriteString("QVX71", "ADDR", "b");
  EXPECT_TRUE(fs::is_symlink("QVX71CONT.INI"));
  EXPECT_EQ(dir.Read("real.ini"), "[QVX71]\r\nADDR=b\r\n");
  struct stat st {};
  ASSERT_EQ(::stat("real.ini", &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_EQ(EntryCount("."), 2u);
}

// A read-only file, a directory in the file's place, a missing folder and a read-only
// folder: each gives the exact error, and nothing on disk changes.
TEST(IniFileWriteFailure, GivesTheWriteErrorAndChangesNothing) {
  TempWorkDir dir;
  const std::string before = "[QVX71]\r\nADDR=a\r\n";
  dir.Write("ro.ini", before);
  ASSERT_EQ(::chmod("ro.ini", 0444), 0);
  fs::create_directory("folder.ini");
  fs::create_directory("locked");
  ASSERT_EQ(::chmod("locked", 0555), 0);
  for (const std::string name : {"ro.ini", "folder.ini", "no-such-folder/x.ini", "locked/x.ini"}) {
    SCOPED_TRACE(name);
    TIniFile ini(name);
    EXPECT_EQ(ini.ReadString("QVX71", "ADDR", "dflt"), name == "ro.ini" ? "a" : "dflt");
    try {
      ini.WriteString("QVX71", "ADDR", "x");
      ADD_FAILURE() << "no error";
    } catch (const EIniFileException& e) {
      EXPECT_EQ(std::string(e.what()), ini.FileName() + " に書き込めません");
    }
  }
  EXPECT_EQ(dir.Read("ro.ini"), before);
  EXPECT_TRUE(fs::is_directory("folder.ini"));
  EXPECT_EQ(EntryCount("."), 3u);
  EXPECT_EQ(EntryCount("locked"), 0u);
}

}  // namespace
}  // namespace qvx
