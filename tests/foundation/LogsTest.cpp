#include "logging/Logs.h"
#include "support/TestSupport.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

using namespace kv;
using kvtest::LocalTime;
using kvtest::ReadCrLfLines;
using kvtest::StateFixture;
using kvtest::WithoutStamp;

TEST(Logs, NamesAndStamp) {
    std::time_t t = LocalTime(2026, 3, 4, 5, 6, 7);
    EXPECT_EQ(TimeStamp(t), "2026-03-04 05:06:07 ");
    EXPECT_EQ(SysLogName("day", t), "LOG/KVSYS20260304.LOG");
    EXPECT_EQ(TransferLogName("DAY", t), "LOG/KVTSF20260304.LOG");
    EXPECT_EQ(SysLogName("", t), "LOG/KVSYS202603.LOG");
    EXPECT_EQ(SysLogName("MONTH", t), "LOG/KVSYS202603.LOG");
    EXPECT_EQ(TransferLogName("Daily", t), "LOG/KVTSF202603.LOG");
}

TEST(Logs, ChannelsAndAppend) {
    StateFixture f;
    std::time_t t = LocalTime(2026, 12, 7, 10, 0, 0);
    f.state.Now = [&] { return t; };
    f.state.LogStep = "Day";
    kvtest::WriteFile(f.path("LOG"), ""); // not a folder: creation must fail and be reported
    ::unlink(f.path("LOG").c_str());
    OpenLogs(f.state);
    ASSERT_TRUE(f.state.logs.SysLogOpen);
    ASSERT_TRUE(f.state.logs.TransferLogOpen);
    f.state.MessageBoxesAllowed = true;
    ReportInfo(f.state, "Begin Receive......");
    ReportError(f.state, "Boom", true);
    WriteSysLogOnly(f.state, "++++++++++++++++++++");
    WriteTransferRecord(f.state, "Download File->a.edi FileSize:3 Sender:S Receiver:R Type:T");
    CloseLogs(f.state);
    EXPECT_FALSE(f.state.logs.SysLogOpen);
    // A line after CloseLogs reaches the view only.
    ReportInfo(f.state, "after close");

    auto sys = ReadCrLfLines(f.path("LOG/KVSYS20261207.LOG"));
    ASSERT_EQ(sys.size(), 3u);
    EXPECT_EQ(sys[0], "2026-12-07 10:00:00 INFO:Begin Receive......");
    EXPECT_EQ(sys[1], "2026-12-07 10:00:00 ERROR:Boom");
    EXPECT_EQ(sys[2], "++++++++++++++++++++");
    auto tsf = ReadCrLfLines(f.path("LOG/KVTSF20261207.LOG"));
    ASSERT_EQ(tsf.size(), 1u);
    EXPECT_EQ(tsf[0],
              "2026-12-07 10:00:00 Download File->a.edi FileSize:3 Sender:S Receiver:R Type:T");
    EXPECT_EQ(f.host.view.size(), 3u);
    EXPECT_EQ(f.host.boxes, std::vector<std::string>{"2026-12-07 10:00:00 ERROR:Boom"});

    // Appending to an existing file keeps its lines; ServiceMode keeps the view empty.
    f.state.ServiceMode = true;
    f.host.view.clear();
    OpenLogs(f.state);
    ReportInfo(f.state, "second");
    CloseLogs(f.state);
    EXPECT_TRUE(f.host.view.empty());
    EXPECT_EQ(ReadCrLfLines(f.path("LOG/KVSYS20261207.LOG")).size(), 4u);
}

TEST(Logs, OpenFileStaysTargetAcrossMidnight) {
    StateFixture f;
    std::time_t t = LocalTime(2026, 12, 7, 23, 59, 50);
    f.state.Now = [&] { return t; };
    f.state.LogStep = "DAY";
    OpenLogs(f.state);
    ReportInfo(f.state, "before midnight");
    t = LocalTime(2026, 12, 8, 0, 0, 5);
    OpenLogs(f.state); // a nested operation opens again: the open file stays
    ReportInfo(f.state, "after midnight");
    CloseLogs(f.state);
    OpenLogs(f.state);
    ReportInfo(f.state, "next operation");
    CloseLogs(f.state);
    auto first = ReadCrLfLines(f.path("LOG/KVSYS20261207.LOG"));
    ASSERT_EQ(first.size(), 2u);
    EXPECT_EQ(WithoutStamp(first[1]), "INFO:after midnight");
    auto second = ReadCrLfLines(f.path("LOG/KVSYS20261208.LOG"));
    ASSERT_EQ(second.size(), 1u);
    EXPECT_EQ(WithoutStamp(second[0]), "INFO:next operation");
}

TEST(Logs, FolderThatCannotBeCreatedIsReportedAndWorkGoesOn) {
    StateFixture f;
    f.state.MessageBoxesAllowed = true;
    kvtest::WriteFile(f.path("LOG"), "a file where the folder should be");
    testing::internal::CaptureStderr();
    OpenLogs(f.state);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_FALSE(f.state.logs.SysLogOpen);
    // Logs that cannot be opened are reported like failed writes.
    EXPECT_NE(err.find("Cannot open the log file " + f.state.logs.SysLogPath + ": Not a directory"),
              std::string::npos)
        << err;
    EXPECT_NE(err.find("Cannot open the log file " + f.state.logs.TransferLogPath),
              std::string::npos);
    // The usual line, then what is in the way.
    ASSERT_EQ(f.host.view.size(), 2u);
    EXPECT_EQ(f.host.view[0], "Create Directory " + f.path("LOG") + " Failed!!!");
    EXPECT_EQ(f.host.boxes, std::vector<std::string>{f.host.view[0]});
    EXPECT_NE(f.host.view[1].find(f.path("LOG") + " is a file, not a folder"), std::string::npos);
    ReportInfo(f.state, "still reported");
    EXPECT_EQ(f.host.view.size(), 3u);
    // The unprefixed folder-creation line counts as an error, as the other,
    // and so do the two logs that could not be opened.
    EXPECT_EQ(f.state.ErrorLinesReported, 4);
    CloseLogs(f.state);
}

TEST(Logs, BracketLeavesOuterOperationsFilesOpen) {
    StateFixture f;
    OpenLogs(f.state);
    {
        LogBracket inner(f.state);
        ReportInfo(f.state, "tick");
    }
    EXPECT_TRUE(f.state.logs.SysLogOpen);
    CloseLogs(f.state);
    {
        LogBracket op(f.state);
        EXPECT_TRUE(f.state.logs.SysLogOpen);
    }
    EXPECT_FALSE(f.state.logs.SysLogOpen);
}

// A log whose close fails (its descriptor gone) is reported once and the
// other log is closed all the same; the next operation opens both again.
TEST(Logs, FailingCloseClosesTheOtherLog) {
    StateFixture f;
    OpenLogs(f.state);
    const int transferFd = f.state.logs.transferFd;
    ::testing::internal::CaptureStderr(); // before: it opens a file of its own
    ASSERT_EQ(::close(f.state.logs.sysFd), 0);
    CloseLogs(f.state);
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("Cannot write the log file " + f.state.logs.SysLogPath), std::string::npos)
        << err;
    EXPECT_FALSE(f.state.logs.SysLogOpen);
    EXPECT_FALSE(f.state.logs.TransferLogOpen);
    EXPECT_EQ(::fcntl(transferFd, F_GETFD), -1);
    EXPECT_EQ(f.state.ErrorLinesReported, 1);
    OpenLogs(f.state);
    EXPECT_TRUE(f.state.logs.SysLogOpen && f.state.logs.TransferLogOpen);
    CloseLogs(f.state);
}
