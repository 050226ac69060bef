// Finding the serial device in a directory, with the numbered menu.
#include <gtest/gtest.h>
#include <stdio_ext.h>
#include <unistd.h>

#include "support.h"
#include "terminal/terminal.h"

namespace {
std::string makeDevDir(std::initializer_list<std::string> names) {
    char tmpl[] = "/tmp/kestrode-dev-XXXXXX";
    std::string dir = mkdtemp(tmpl);
    for (const auto &n : names) writeFile(dir + "/" + n, "");
    return dir;
}

// Runs the discovery with `answers` typed at the menu.
const char *discover(const std::string &dir, const std::string &answers, std::string *out,
                     std::string *unread = nullptr) {
    int p[2];
    EXPECT_EQ(pipe(p), 0);
    writeAll(p[1], answers);
    close(p[1]);
    int saved = dup(0);
    dup2(p[0], 0);
    close(p[0]);
    __fpurge(stdin);
    clearerr(stdin);
    captureStart();
    const char *dev = findDevNameIn(dir.c_str());
    *out = captureStop();
    if (unread) *unread = readQuiet(0, 50);
    dup2(saved, 0);
    close(saved);
    __fpurge(stdin);
    clearerr(stdin);
    return dev;
}

int count(const std::string &s, const std::string &needle) {
    int n = 0;
    for (size_t p = s.find(needle); p != std::string::npos; p = s.find(needle, p + 1)) ++n;
    return n;
}
}  // namespace

TEST(Discovery, NoneOrOneNeedNoQuestion) {
    std::string out;
    EXPECT_EQ(discover(makeDevDir({"tty0", "ttyUSB0", "null"}), "", &out), nullptr);
    EXPECT_EQ(out, "");
    std::string dir = makeDevDir({"tty1", "ttyS0"});
    const char *dev = discover(dir, "", &out);
    ASSERT_NE(dev, nullptr);
    EXPECT_EQ(std::string(dev), dir + "/ttyS0");
    EXPECT_EQ(out, "");
    EXPECT_EQ(discover("/nonexistent-dir", "", &out), nullptr);
}

TEST(Discovery, MenuOffersEachPortAndTakesAnAnswer) {
    std::string dir = makeDevDir({"ttyS0", "ttyS1", "ttyS10"});
    std::string out;
    std::string unread;
    const char *dev = discover(dir, "0\n4\n-5\n2\nls\n", &out, &unread);
    EXPECT_EQ(unread, "ls\n");  // typed after the answer: left for the keyboard
    ASSERT_NE(dev, nullptr);
    EXPECT_EQ(count(out, "\nWhich one is the device [1~3]? : "), 4);
    EXPECT_EQ(count(out, "1. " + dir + "/ttyS"), 4);
    EXPECT_EQ(count(out, "3. " + dir + "/ttyS"), 4);
    // The answer picks the slot printed with that number.
    size_t at = out.rfind("2. ");
    EXPECT_EQ(out.substr(at + 3, out.find('\n', at) - at - 3), dev);
}

TEST(Discovery, GivesUpAfterSixBadAnswers) {
    std::string dir = makeDevDir({"ttyS0", "ttyS1", "ttyS2"});
    std::string out;
    EXPECT_EQ(discover(dir, "abc\n", &out), nullptr);  // the token is never consumed
    EXPECT_EQ(count(out, "? : "), 6);
    EXPECT_EQ(discover(dir, "0\n0\n0\n0\n0\n0\n1\n", &out), nullptr);
    EXPECT_EQ(count(out, "? : "), 6);
}

TEST(Discovery, AtMostNineSlotsAndNoOverlongNames) {
    std::string dir = makeDevDir({"ttyS0", "ttyS1", "ttyS2", "ttyS3", "ttyS4", "ttyS5", "ttyS6",
                                  "ttyS7", "ttyS8", "ttyS9", "ttyS10", "ttyS11"});
    std::string out;
    ASSERT_NE(discover(dir, "9\n", &out), nullptr);
    EXPECT_NE(out.find("[1~9]? : "), std::string::npos);
    EXPECT_EQ(out.find("10. "), std::string::npos);

    std::string longName = "ttyS" + std::string(200, 'L');
    std::string dir2 = makeDevDir({longName, "ttyS0"});
    const char *dev = discover(dir2, "", &out);
    ASSERT_NE(dev, nullptr);  // the long entry is skipped, the other taken
    EXPECT_EQ(std::string(dev), dir2 + "/ttyS0");
}
