// A whole session: the instrument's clock set at its banner, and the log
// file kestrode leaves behind.
#include <gtest/gtest.h>
#include <time.h>

#include <regex>
#include <sstream>

#include "harness.h"
#include "support.h"

namespace {
// The lines of a text, each without its final LF.
std::vector<std::string> linesOf(const std::string &text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);) lines.push_back(l);
    return lines;
}

// Whether every line of `part` occurs in `whole`, in the same order.
bool inOrder(const std::vector<std::string> &part, const std::vector<std::string> &whole) {
    size_t at = 0;
    for (const std::string &l : part) {
        while (at < whole.size() && whole[at] != l) ++at;
        if (at == whole.size()) return false;
        ++at;
    }
    return true;
}
}  // namespace

TEST(EndToEnd, BannerSetsTheInstrumentClock) {
    Session r;
    startSession(r, {"--period", "0"});
    // One time line for the first line end, one for the banner.
    ASSERT_TRUE(waitFor(r, "# clock set to ", 10000)) << r.console;
    ASSERT_TRUE(waitFor(r, "# clock set to ", 5000)) << r.console;

    type(r, "date");
    ASSERT_TRUE(waitFor(r, " UTC\r\n", 5000)) << r.console;
    std::smatch m;
    std::string tail = r.console.substr(0, r.seen);
    std::regex utc(R"((\d{4})-(\d\d)-(\d\d) (\d\d):(\d\d):(\d\d) UTC\r\n$)");
    ASSERT_TRUE(std::regex_search(tail, m, utc)) << tail;
    struct tm tmv {};
    tmv.tm_year = std::stoi(m[1]) - 1900;
    tmv.tm_mon = std::stoi(m[2]) - 1;
    tmv.tm_mday = std::stoi(m[3]);
    tmv.tm_hour = std::stoi(m[4]);
    tmv.tm_min = std::stoi(m[5]);
    tmv.tm_sec = std::stoi(m[6]);
    EXPECT_NEAR((double)timegm(&tmv), (double)time(nullptr), 3.0) << m[0];

    // The instrument forgets the time when it restarts; its banner sets it again.
    type(r, "reboot");
    ASSERT_TRUE(waitFor(r, "# OLM-inside Air Monitor", 5000)) << r.console;
    ASSERT_TRUE(waitFor(r, "# clock set to ", 5000)) << r.console;
    type(r, "@settime");
    EXPECT_TRUE(waitFor(r, "# settime is successful", 5000)) << r.console;
    EXPECT_EQ(exitSession(r), 0);
}

TEST(EndToEnd, LogHoldsEveryInstrumentLineOfTheSession) {
    Session r;
    const std::string csv = "time,pm2_5\n2026-12-05T08:00:00Z,8.8\n";
    const std::string size = std::to_string(csv.size()) + " bytes";
    writeFile(r.store + "/readings.csv", csv);
    startSession(r, {"--period", "0.1"});
    ASSERT_TRUE(waitFor(r, "Local logging file : " + r.host + "\\kestrode-", 10000)) << r.console;
    ASSERT_TRUE(waitFor(r, "# clock not set", 5000)) << r.console;
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(waitFor(r, "PM2.5=", 5000)) << r.console;
    type(r, "ls");
    ASSERT_TRUE(waitFor(r, "# 1 file, " + size + "\r\n", 5000)) << r.console;
    type(r, "frob");
    ASSERT_TRUE(waitFor(r, "# unknown command: frob (type help)\r\n", 5000)) << r.console;
    type(r, "@download readings.csv");
    ASSERT_TRUE(waitFor(r, "# sent readings.csv, " + size + "\r\n", 10000)) << r.console;
    ASSERT_TRUE(waitFor(r, "PM2.5=", 5000)) << r.console;
    ASSERT_EQ(exitSession(r), 0) << r.console;

    std::string log = readFile(logPath(r));
    std::vector<std::string> logLines = linesOf(log);
    ASSERT_GT(logLines.size(), 10u) << log;
    std::vector<std::string> shown;  // the same lines as the log keeps them
    for (const std::string &l : logLines) {
        EXPECT_TRUE(l.ends_with("\r\r")) << "not CR CR LF: " << l;
        shown.push_back(l.substr(0, l.size() - 1));
    }
    EXPECT_TRUE(inOrder(shown, linesOf(r.console))) << log;
    // Every reading shown was logged; the banner and the transfer were not.
    EXPECT_EQ(count(log, "PM2.5="), count(r.console, "PM2.5=")) << log;
    EXPECT_EQ(count(log, "OLM-inside"), 0u) << log;
    EXPECT_EQ(count(log, "@"), 0u) << log;
    EXPECT_EQ(count(log, "\n> "), 0u) << log;
    const std::vector<std::string> once{
        "# firmware 3.2.1 (simulated), serial OLM-SIM-0001\r\r\n",
        "# 1 file, " + size + "\r\r\n",
        "# unknown command: frob (type help)\r\r\n",
        "# sent readings.csv, " + size + "\r\r\n",
    };
    for (const std::string &line : once) EXPECT_EQ(count(log, line), 1u) << line << "\n" << log;
    EXPECT_EQ(readFile(r.host + "/readings.csv"), readFile(r.store + "/readings.csv"));
}
