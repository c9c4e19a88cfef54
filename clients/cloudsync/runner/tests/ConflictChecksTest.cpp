// Whether a path is, or has, a conflict copy.

#include "ConflictChecks.h"

#include "TempFolder.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

namespace {

using CloudSyncTest::TempFolder;
using Nuvaro::Sync::checkForConflict;
using Nuvaro::Sync::checkForConflictFast;

struct FastCase {
    std::string path;
    bool conflict;
};

TEST(ConflictChecks, FastCheckLooksAtTheLastNameOnly) {
    for (const FastCase& c : std::vector<FastCase>{
             {"/d/report(Conflict_laptop_2017-05-16-10-00-00).docx", true},
             {"/d/README(Conflict__2017-05-16-10-00-00)", true},
             {"report(Conflict_laptop_2017-05-16-10-00-00).docx", true},
             {"/d/report.docx", false},
             {"/d/Conflict_Analysis.xlsx", false},
             {"/d/a(Conflict_x).txt", false},
             {"/d/report(Conflict_laptop_2017-05-16-10-00-00)/inner.txt", false},
             {"/d/report(Conflict_laptop_2017-05-16-10-00-00).docx/", false},
             {"", false}})
        EXPECT_EQ(checkForConflictFast(c.path), c.conflict) << c.path;
}

struct FolderCase {
    const char* what;
    std::vector<std::string> names;  // what the folder holds besides the file
    std::string file;
    bool conflict;
};

class ConflictInFolder : public ::testing::TestWithParam<FolderCase> {};

TEST_P(ConflictInFolder, IsACopyOfTheSameBaseAndExtension) {
    TempFolder tmp;
    tmp.write("d/" + GetParam().file, "mine");
    for (const std::string& name : GetParam().names)
        tmp.write("d/" + name, "theirs");
    EXPECT_EQ(checkForConflict(tmp / ("d/" + GetParam().file)), GetParam().conflict);
}

INSTANTIATE_TEST_SUITE_P(
    ConflictChecks, ConflictInFolder,
    ::testing::Values(
        FolderCase{"CopyOfTheFile", {"report(Conflict_laptop_2017-05-16-10-00-00).docx"}, "report.docx", true},
        FolderCase{"CopyFromAnyDevice", {"report(Conflict__2017-05-16-10-00-00).docx"}, "report.docx", true},
        FolderCase{"OnlyACopyWithAnotherExtension",
                   {"report(Conflict_laptop_2017-05-16-10-00-00).pdf"}, "report.docx", false},
        FolderCase{"ExtensionInAnotherCase",
                   {"report(Conflict_laptop_2017-05-16-10-00-00).DOCX"}, "report.docx", false},
        FolderCase{"CopyOfAnotherFile", {"summary(Conflict_laptop_2017-05-16-10-00-00).docx"}, "report.docx", false},
        FolderCase{"NotTheWholeForm", {"report(Conflict_notes).docx"}, "report.docx", false},
        FolderCase{"NoCopy", {"other.docx"}, "report.docx", false},
        FolderCase{"WithoutExtension", {"README(Conflict_pc_2017-05-16-10-00-00)"}, "README", true},
        // "Cafe" with a combining accent (NFD) against its composed form (NFC).
        FolderCase{"NamesComparedInNFC", {"Cafe\xCC\x81(Conflict_pc_2017-05-16-10-00-00).txt"}, "Caf\xC3\xA9.txt",
                   true}),
    [](const ::testing::TestParamInfo<FolderCase>& c) { return std::string(c.param.what); });

TEST(ConflictChecks, FolderThatCannotBeListedGivesFalse) {
    TempFolder tmp;
    EXPECT_FALSE(checkForConflict(tmp / "missing/report.docx"));
    tmp.write("locked/report(Conflict_laptop_2017-05-16-10-00-00).docx", "theirs");
    ::chmod((tmp / "locked").c_str(), 0300);
    if (::geteuid() != 0) {
        EXPECT_FALSE(checkForConflict(tmp / "locked/report.docx"));
    }
    ::chmod((tmp / "locked").c_str(), 0700);
    EXPECT_TRUE(checkForConflict(tmp / "locked/report.docx"));
    EXPECT_FALSE(checkForConflict(""));
}

} // namespace
