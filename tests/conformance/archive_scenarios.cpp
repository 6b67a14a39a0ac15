// SPDX-License-Identifier: Apache-2.0
// Archived jobs end to end: the .RUD file's path, name and bytes, its directories, the
// header after the end and after an abort, and the warnings shown when no file results.
#include "tests/conformance/conformance.h"

using namespace sgconf;
using namespace sgtest;

namespace {

const std::u16string kPathTooLong = u"フルパスが長すぎます。";
const std::u16string kNameExists = u"ﾌｧｲﾙ名がすでに存在するため Sheafmark 保存は中止します。";
const std::u16string kFilesFull =
    u"ファイルがいっぱいになりました。\nファイルの作成に失敗しました。";
const std::u16string kCreateFailed = u"ファイルの作成に失敗しました。";

class Archive : public ConformanceTest {
 protected:
  // Runs an archive job up to its first print data; returns the job.
  HANDLE StartArchiveJob(DWORD jobId, const std::u16string& directory,
                         const std::u16string& fileName, const std::u16string& fallback = u"",
                         const Bytes& header = ArchiveHeader(0, 0, 0)) {
    HANDLE job = plugin_.StartDoc(printer_, jobId);
    EXPECT_NE(job, nullptr);
    SendAll(job, {JobHeader(JOB_FLAG_ARCHIVE), ArchiveLocation(directory, fileName, fallback),
                  header});
    return job;
  }

  // Every warning the archive path shows: no owner, no caption, OK with the warning icon.
  void ExpectWarnings(const std::vector<std::u16string>& texts) {
    std::vector<MessageBoxSeen> shown = MessageBoxesShown();
    ASSERT_EQ(shown.size(), texts.size());
    for (size_t i = 0; i < texts.size(); ++i) {
      EXPECT_EQ(shown[i].text, texts[i]) << Utf8(shown[i].text);
      EXPECT_EQ(shown[i].owner, 0u);
      EXPECT_FALSE(shown[i].caption.has_value());
      EXPECT_EQ(shown[i].style, UINT{MB_ICONWARNING});
    }
  }
};

TEST_F(Archive, JobDataLandsInTheNamedFileAndTheHeaderIsCompletedAtTheEnd) {
  // Only the test root exists: Jobs, Jobs\2021 and Jobs\2021\May are created.
  const std::u16string directory = Path(u"Jobs\\2021\\May");
  ArchiveHeaderRecord header = MakeArchiveHeader(1, 1, 0, 0x6D);
  HANDLE job = StartArchiveJob(jobId_, directory, u"", u"unused fallback", AsBytes(header));
  const std::u16string file = directory + u"\\Drawing.plt.RUD";
  Bytes data = Concat({Pattern(70000, 3), Data("\r\n"), Pattern(256, 4)});
  EXPECT_TRUE(Send(job, Pattern(70000, 3)));
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(plugin_.EndPage(job));
  EXPECT_TRUE(Send(job, Data("\r\n")));
  EXPECT_TRUE(Send(job, Tail(2, 5)));  // 5 pages, headerFlags |= 2, tailBit0 = 0
  EXPECT_TRUE(Send(job, Pattern(256, 4)));
  EXPECT_TRUE(plugin_.EndPage(job));

  // While the job runs the file holds the header as received; others may read it.
  EXPECT_EQ(ReadWindowsFile(file), Concat({AsBytes(header), data}));
  plugin_.EndDoc(job);

  // headerFlags takes the tail's bit 1, tailBit0 its bit 0, totalPages its 5 plus the
  // page ended after it.
  header.headerFlags = 3;
  header.tailBit0 = 0;
  header.totalPages = 6;
  EXPECT_EQ(ReadWindowsFile(file), Concat({AsBytes(header), data}));
  EXPECT_EQ(ListWindowsDirectory(directory), (std::vector<std::u16string>{u"Drawing.plt.RUD"}));
  EXPECT_TRUE(PrinterBytes(printer_).empty());
  EXPECT_TRUE(MessageBoxesShown().empty());
  EXPECT_EQ(Context(job)->archiveFile, INVALID_HANDLE_VALUE);
  ExpectNotHeld(file);
  plugin_.EndDoc(job);  // a second end neither writes nor closes again
  EXPECT_EQ(ReadWindowsFile(file), Concat({AsBytes(header), data}));
  plugin_.Close(job);
}

TEST_F(Archive, PageCountWithoutTailRecordBecomesTotalPages) {
  HANDLE job = StartArchiveJob(jobId_, Path(u""), u"", u"", ArchiveHeader(0, 0, 0x1234));
  for (int i = 0; i < 3; ++i) {
    EXPECT_TRUE(plugin_.StartPage(job));
    EXPECT_TRUE(plugin_.EndPage(job));
  }
  EndAndClose(job);
  EXPECT_EQ(ReadWindowsFile(Path(u"Drawing.plt.RUD")), ArchiveHeader(0, 0, 3));
}

TEST_F(Archive, AbortedOrNeverEndedJobKeepsTheHeaderAsReceived) {
  ArchiveHeaderRecord header = MakeArchiveHeader(1, 0, 9, 0x21);
  // An abort, and a close without end or abort, leave the same file, closed.
  for (bool abort : {true, false}) {
    const std::u16string name = abort ? u"aborted" : u"closed";
    HANDLE job = StartArchiveJob(jobId_, Path(u""), name, u"", AsBytes(header));
    EXPECT_TRUE(Send(job, Data("first band")));
    EXPECT_TRUE(plugin_.EndPage(job));
    EXPECT_TRUE(plugin_.EndPage(job));
    EXPECT_TRUE(Send(job, Tail(3, 12)));
    if (abort) plugin_.Abort(job);
    plugin_.Close(job);
    const std::u16string file = Path(name + u".RUD");
    EXPECT_EQ(ReadWindowsFile(file), Concat({AsBytes(header), Data("first band")}));
    ExpectNotHeld(file);
  }
}

TEST_F(Archive, DocumentNameIsMadeFitForAFileName) {
  AddJob(printer_, 21, u"A/B:C*?\"<>|\\,; end", u"alice");
  EndAndClose(StartArchiveJob(21, Path(u""), u""));
  EXPECT_EQ(ListWindowsDirectory(Path(u"")),
            (std::vector<std::u16string>{u"A／B：C＊？”＜＞｜￥，； end.RUD"}));
}

TEST_F(Archive, SpoolerWithoutDocumentNameLeavesTheFallbackName) {
  AddJob(printer_, 22, std::nullopt, u"alice");
  AddJob(printer_, 23, u"", u"alice");
  EndAndClose(StartArchiveJob(22, Path(u""), u"", u"from the record"));
  EndAndClose(StartArchiveJob(23, Path(u""), u"", u"from the record"));
  EndAndClose(StartArchiveJob(24, Path(u""), u"", u"no such job"));
  // An empty fallback leaves only the extension.
  EndAndClose(StartArchiveJob(22, Path(u""), u"", u""));
  EndAndClose(StartArchiveJob(24, Path(u""), u"", u""));
  EXPECT_EQ(ListWindowsDirectory(Path(u"")),
            (std::vector<std::u16string>{u".RUD", u"00.RUD", u"from the record.RUD",
                                         u"from the record00.RUD", u"no such job.RUD"}));
  EXPECT_TRUE(MessageBoxesShown().empty());
}

TEST_F(Archive, TakenDocumentNameIsNumberedFromZeroAndGapsAreReused) {
  AddJob(printer_, 30, u"Report", u"alice");
  WriteWindowsFile(Path(u"Report.RUD"), Data("older job"));
  WriteWindowsFile(Path(u"Report00.RUD"), Data("older job 00"));
  WriteWindowsFile(Path(u"Report02.RUD"), Data("older job 02"));
  HANDLE job = StartArchiveJob(30, Path(u""), u"");
  EXPECT_TRUE(Send(job, Data("new")));
  EndAndClose(job);
  EXPECT_EQ(ReadWindowsFile(Path(u"Report01.RUD")), Concat({ArchiveHeader(0, 0, 0), Data("new")}));
  EXPECT_EQ(ReadWindowsFile(Path(u"Report.RUD")), Data("older job"));
  EXPECT_EQ(ReadWindowsFile(Path(u"Report02.RUD")), Data("older job 02"));
  EXPECT_TRUE(MessageBoxesShown().empty());
}

TEST_F(Archive, AllHundredNumberedNamesTakenWarnsAndArchivesNothing) {
  AddJob(printer_, 31, u"Full", u"alice");
  WriteWindowsFile(Path(u"Full.RUD"), Data("taken"));
  for (int n = 0; n < 100; ++n) {
    std::u16string number = {static_cast<char16_t>(u'0' + n / 10), static_cast<char16_t>(u'0' + n % 10)};
    WriteWindowsFile(Path(u"Full" + number + u".RUD"), Data("taken"));
  }
  HANDLE job = StartArchiveJob(31, Path(u""), u"");
  EXPECT_FALSE(Send(job, Data("nowhere to go")));
  EndAndClose(job);
  ExpectWarnings({kFilesFull});
  EXPECT_EQ(ListWindowsDirectory(Path(u"")).size(), 101u);
  EXPECT_TRUE(PrinterBytes(printer_).empty());
}

TEST_F(Archive, ExplicitNameIsUsedAsGivenAndNeverOverwritten) {
  EndAndClose(StartArchiveJob(jobId_, Path(u""), u"plan.RUD"));
  EXPECT_EQ(ListWindowsDirectory(Path(u"")), (std::vector<std::u16string>{u"plan.RUD.RUD"}));
  EXPECT_TRUE(MessageBoxesShown().empty());

  HANDLE job = StartArchiveJob(jobId_, Path(u""), u"plan.RUD");
  EXPECT_FALSE(Send(job, Data("refused")));
  EndAndClose(job);
  ExpectWarnings({kNameExists});
  EXPECT_EQ(ReadWindowsFile(Path(u"plan.RUD.RUD")), ArchiveHeader(0, 0, 0));
}

TEST_F(Archive, PathOf255CharactersIsTakenAnd256IsRefused) {
  const std::u16string directory = Path(u"long");
  MakeWindowsDirectory(directory);
  // directory + "\" + name + ".RUD"
  const size_t room = 255 - directory.size() - 1 - 4;
  EndAndClose(StartArchiveJob(jobId_, directory, std::u16string(room, u'n')));
  EXPECT_TRUE(ReadWindowsFile(directory + u"\\" + std::u16string(room, u'n') + u".RUD"));
  EXPECT_TRUE(MessageBoxesShown().empty());

  // One more character: refused with a warning for an explicit name, silently for a
  // document name.
  EndAndClose(StartArchiveJob(jobId_, directory, std::u16string(room + 1, u'e')));
  ExpectWarnings({kPathTooLong});
  AddJob(printer_, 40, std::u16string(room + 1, u'd'), u"alice");
  EndAndClose(StartArchiveJob(40, directory, u""));
  ExpectWarnings({kPathTooLong});
  EXPECT_EQ(ListWindowsDirectory(directory).size(), 1u);
}

TEST_F(Archive, MissingDirectoryGivenWithTrailingBackslashIsCreated) {
  // Its last prefix, the directory with the backslash, already exists: made just before.
  HANDLE job = StartArchiveJob(jobId_, Path(u"New\\"), u"first");
  EXPECT_TRUE(Send(job, Data("kept")));
  EndAndClose(job);
  ExpectWarnings({});
  EXPECT_EQ(ReadWindowsFile(Path(u"New\\first.RUD")), Concat({ArchiveHeader(0, 0, 0), Data("kept")}));
}

TEST_F(Archive, DirectoriesNamedByTheFileNameAreNeverCreated) {
  HANDLE job = StartArchiveJob(jobId_, Path(u""), u"sub\\name");
  EXPECT_FALSE(Send(job, Data("lost")));
  EndAndClose(job);
  ExpectWarnings({kCreateFailed});
  EXPECT_TRUE(ListWindowsDirectory(Path(u"")).empty());
}

TEST_F(Archive, FileOfARunningJobIsNotTakenOverByAnother) {
  HANDLE first = StartArchiveJob(jobId_, Path(u""), u"", u"", ArchiveHeader(0, 0, 0, 0x01));
  EXPECT_TRUE(Send(first, Data("first job")));
  // The second job's existence test cannot open the file that the first one is writing,
  // so the name looks free; creating it then finds it taken, and the next number is used.
  AddJob(printer_, 8, u"Drawing.plt", u"bob");
  HANDLE second = StartArchiveJob(8, Path(u""), u"", u"", ArchiveHeader(0, 0, 0, 0x02));
  EXPECT_TRUE(Send(second, Data("second job")));
  EndAndClose(second);
  ExpectWarnings({});
  // A name the user gave is never exchanged for another: the creation warning.
  HANDLE named = StartArchiveJob(8, Path(u""), u"Drawing.plt");
  ExpectWarnings({kCreateFailed});
  EXPECT_FALSE(Send(named, Data("refused")));
  EndAndClose(named);

  EXPECT_TRUE(Send(first, Data(", still first")));
  EXPECT_TRUE(plugin_.EndPage(first));
  EXPECT_TRUE(plugin_.EndPage(first));
  EndAndClose(first);
  EXPECT_EQ(ReadWindowsFile(Path(u"Drawing.plt.RUD")),
            Concat({ArchiveHeader(0, 0, 2, 0x01), Data("first job, still first")}));
  EXPECT_EQ(ReadWindowsFile(Path(u"Drawing.plt00.RUD")),
            Concat({ArchiveHeader(0, 0, 0, 0x02), Data("second job")}));
  EXPECT_EQ(ListWindowsDirectory(Path(u"")),
            (std::vector<std::u16string>{u"Drawing.plt.RUD", u"Drawing.plt00.RUD"}));
}

TEST_F(Archive, ExistingNameInOtherLetterCaseIsTaken) {
  WriteWindowsFile(Path(u"DRAWING.PLT.rud"), Data("older"));
  EndAndClose(StartArchiveJob(jobId_, Path(u""), u""));
  EXPECT_EQ(ListWindowsDirectory(Path(u"")),
            (std::vector<std::u16string>{u"DRAWING.PLT.rud", u"Drawing.plt00.RUD"}));
  EXPECT_EQ(ReadWindowsFile(Path(u"DRAWING.PLT.rud")), Data("older"));
}

}  // namespace
