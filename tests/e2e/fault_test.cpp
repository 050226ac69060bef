// A faulty instrument: megabyte transfers, where each fault has its outcome
// and no side keeps a byte that was not acknowledged; a frozen adapter.
#include <gtest/gtest.h>

#include <ctime>

#include "harness.h"
#include "support.h"

namespace {
constexpr size_t MIB = 1 << 20;
const std::string MIB_TEXT = std::to_string(MIB);
constexpr size_t FRAMES = MIB / 128;
constexpr size_t AFTER = 100;  // frames before the silence or the hang-up
const std::string PART_TEXT = std::to_string(AFTER * 128) + " of " + MIB_TEXT + " bytes";

// A Session with a megabyte to upload and another to download.
void prepare(Session &r, const std::vector<std::string> &faults) {
    writeFile(r.host + "/up.bin", randomBytes(MIB, 11));
    writeFile(r.store + "/down.bin", randomBytes(MIB, 12));
    std::vector<std::string> options{"--period", "0"};
    options.insert(options.end(), faults.begin(), faults.end());
    startSession(r, options);
    ASSERT_TRUE(waitForBoot(r)) << r.console;
}

// Remarks the transfer reader printed: "# " texts that end in a bare LF
// there (lines shown by the terminal keep their CR LF). A progress count
// may stand in front of one on the same console line.
size_t remarksShown(const std::string &console) {
    size_t n = 0;
    for (size_t at = console.find("# "); at != std::string::npos; at = console.find("# ", at + 2)) {
        size_t end = console.find_first_of("\r\n", at);
        if (end != std::string::npos && console[end] == '\n') ++n;
    }
    return n;
}

bool sameFile(const std::string &a, const std::string &b) { return readFile(a) == readFile(b); }
}  // namespace

TEST(EndToEnd, RejectedAndDamagedFramesAreSentAgain) {
    Session r;
    prepare(r, {"--nak-every", "3", "--corrupt-every", "3"});
    // Every third frame received is refused, so 8192 chunks take 12287 sendings.
    type(r, "@upload up.bin");
    ASSERT_TRUE(waitFor(r, "> uploading is successfully finished\n", 60000)) << r.console;
    ASSERT_TRUE(waitFor(r, "# stored up.bin, " + MIB_TEXT + " bytes", 10000)) << r.console;
    EXPECT_EQ(count(r.console, "> NACK received\n"), (FRAMES - 1) / 2);
    EXPECT_TRUE(sameFile(r.store + "/up.bin", r.host + "/up.bin"));

    // Every third frame sent is damaged; kestrode must catch each one.
    type(r, "@download down.bin");
    ASSERT_TRUE(waitFor(r, "> File transfer is successful\n", 60000)) << r.console;
    ASSERT_TRUE(waitFor(r, "# sent down.bin, " + MIB_TEXT + " bytes", 10000)) << r.console;
    EXPECT_EQ(count(simReport(r), "rejected by the host"), (FRAMES - 1) / 2);
    EXPECT_TRUE(sameFile(r.host + "/down.bin", r.store + "/down.bin"));
    EXPECT_EQ(exitSession(r), 0);
}

TEST(EndToEnd, RemarkBurstsAreShownAndTransfersGoOn) {
    Session r;
    // Three remarks in the same write as every second reply.
    prepare(r, {"--remark-every", "2", "--remark-lines", "3"});
    type(r, "@upload up.bin");
    ASSERT_TRUE(waitFor(r, "> uploading is successfully finished\n", 60000)) << r.console;
    ASSERT_TRUE(waitFor(r, "# stored up.bin, " + MIB_TEXT + " bytes", 10000)) << r.console;
    // Replies: the header's "@ACK" and one per frame.
    EXPECT_EQ(remarksShown(r.console), (FRAMES + 1) / 2 * 3);
    EXPECT_TRUE(sameFile(r.store + "/up.bin", r.host + "/up.bin"));

    size_t before = remarksShown(r.console);
    type(r, "@download down.bin");
    ASSERT_TRUE(waitFor(r, "> File transfer is successful\n", 60000)) << r.console;
    ASSERT_TRUE(waitFor(r, "# sent down.bin, " + MIB_TEXT + " bytes", 10000)) << r.console;
    // Messages: "@DOWNLOAD,...", every frame, "@FIN".
    EXPECT_EQ(remarksShown(r.console) - before, (FRAMES + 2) / 2 * 3);
    EXPECT_TRUE(sameFile(r.host + "/down.bin", r.store + "/down.bin"));
    EXPECT_EQ(exitSession(r), 0);
}

TEST(EndToEnd, SilenceDuringUploadEndsItAndNothingIsStored) {
    Session r;
    prepare(r, {"--silent-after", std::to_string(AFTER)});
    type(r, "@upload up.bin");
    ASSERT_TRUE(waitFor(r, "> upload started\n", 10000)) << r.console;
    ASSERT_TRUE(waitFor(r, "> read message failed\n", 20000)) << r.console;
    ASSERT_TRUE(waitFor(r, "# upload of up.bin ended by the host after " + PART_TEXT, 10000))
        << r.console;
    EXPECT_EQ(listFolder(r.store), std::vector<std::string>{"down.bin"});
    // Both sides are back in their ordinary dialogue.
    type(r, "ls");
    EXPECT_TRUE(waitFor(r, "# 1 file, " + MIB_TEXT + " bytes\r\n", 5000)) << r.console;
    EXPECT_EQ(exitSession(r), 0);
}

TEST(EndToEnd, SilenceDuringDownloadKeepsTheAcknowledgedPart) {
    Session r;
    prepare(r, {"--silent-after", std::to_string(AFTER)});
    type(r, "@download down.bin");
    ASSERT_TRUE(waitFor(r, "> download incomplete (down.bin): " + PART_TEXT + " received", 30000))
        << r.console;
    ASSERT_TRUE(waitFor(r, "# download of down.bin ended by the host after " + PART_TEXT, 10000))
        << r.console;
    EXPECT_TRUE(readFile(r.host + "/down.bin") ==
                readFile(r.store + "/down.bin").substr(0, AFTER * 128));
    EXPECT_EQ(count(r.console, "> File transfer is successful"), 0u);
    EXPECT_EQ(exitSession(r), 0);
}

TEST(EndToEnd, HangUpMidTransferEndsTheSessionCleanly) {
    {
        Session r;
        prepare(r, {"--hangup-after", std::to_string(AFTER)});
        type(r, "@upload up.bin");
        ASSERT_TRUE(waitFor(r, "> read message failed\n", 20000)) << r.console;
        ASSERT_TRUE(waitFor(r, "> serial device lost, shutting down\n", 10000)) << r.console;
        EXPECT_EQ(waitEnd(r, 10000), 0) << r.console;
        EXPECT_EQ(listFolder(r.store), std::vector<std::string>{"down.bin"});
    }
    Session r;
    prepare(r, {"--hangup-after", std::to_string(AFTER)});
    type(r, "@download down.bin");
    ASSERT_TRUE(waitFor(r, "> download incomplete (down.bin): " + PART_TEXT + " received", 20000))
        << r.console;
    ASSERT_TRUE(waitFor(r, "> serial device lost, shutting down\n", 10000)) << r.console;
    EXPECT_EQ(waitEnd(r, 10000), 0) << r.console;
    EXPECT_TRUE(readFile(r.host + "/down.bin") ==
                readFile(r.store + "/down.bin").substr(0, AFTER * 128));
}

TEST(EndToEnd, NoiseLinesPassDownloadsButEndUploads) {
    Session r;
    prepare(r, {"--noise-every", "3"});
    type(r, "@download down.bin");
    ASSERT_TRUE(waitFor(r, "> File transfer is successful\n", 60000)) << r.console;
    ASSERT_TRUE(waitFor(r, "# sent down.bin, " + MIB_TEXT + " bytes", 10000)) << r.console;
    EXPECT_TRUE(sameFile(r.host + "/down.bin", r.store + "/down.bin"));

    // A garbage line where a reply belongs ends the upload.
    type(r, "@upload up.bin");
    ASSERT_TRUE(waitFor(r, "> unexpected message (", 10000)) << r.console;
    ASSERT_TRUE(waitFor(r, "# upload of up.bin ended by the host after ", 10000)) << r.console;
    EXPECT_EQ(listFolder(r.store), std::vector<std::string>{"down.bin"});
    EXPECT_EQ(exitSession(r), 0);
}

// An instrument behind a frozen adapter (--mute-after): warned about, its
// port closed and opened again, which wakes it; the gap told; one log.
TEST(EndToEnd, FrozenAdapterIsReopenedAndTheGapTold) {
    Session r;
    startSession(r, {"--period", "0.2", "--mute-after", "1", "--mute-for", "30"}, {"--silence", "2"});
    ASSERT_TRUE(waitForBoot(r)) << r.console;
    char today[16];
    time_t now = time(nullptr);
    strftime(today, sizeof today, "%Y-%m-%d ", localtime(&now));
    ASSERT_TRUE(waitFor(r, std::string("> no byte from the instrument for 2 s, its last line came at ") +
                               today, 10000))
        << r.console;
    ASSERT_TRUE(waitFor(r, "> the instrument is still silent, its serial port was closed and "
                           "opened again\n", 10000))
        << r.console;
    ASSERT_TRUE(waitFor(r, "> the instrument talks again after ", 10000)) << r.console;
    ASSERT_TRUE(waitFor(r, " s of silence\n# OLM-inside Air Monitor", 5000)) << r.console;
    ASSERT_TRUE(waitFor(r, "PM2.5=", 5000)) << r.console;  // readings again
    EXPECT_EQ(count(simReport(r), "host opened"), 2u);
    std::string log = readFile(logPath(r));
    EXPECT_GE(count(log, "PM2.5="), 4u) << log;
    EXPECT_EQ(listFolder(r.host).size(), 1u);
    EXPECT_EQ(exitSession(r), 0);
}
