// The log file: how messages are written into lines, the room one request has, the file's mode,
// and several built hosts writing one log at the same time.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <functional>

#include "foundation/Log.h"
#include "support/HostSession.h"
#include "support/TestCases.h"

namespace kivo::testing {
namespace {

using foundation::LogFile;
using foundation::LogLevel;

constexpr std::size_t prefixSize = std::string_view("06-12-2026 09:00:00.000 INFO  ").size();

struct LogScene {
    TempDir dir;
    std::filesystem::path path = dir / "kivo-signing.log";
    LogFile log{path};

    // The message parts of the lines written so far.
    std::vector<std::string> messages() const {
        std::vector<std::string> result;
        for (const std::string& line : linesOf(readFile(path))) {
            result.push_back(line.substr(prefixSize));
        }
        return result;
    }
};

TEST(LogFile, MessagesAreEscapedOntoOneLine) {
    std::vector<std::array<std::string, 3>> cases{
        {"bytes that are not UTF-8", "a\xff\xc0\x8a\xed\xa0\x80",
         "a\\xff\\xc0\\x8a\\xed\\xa0\\x80"},
        {"a character cut short at the end", "a\xe2\x80", "a\\xe2\\x80"}};
    for (const auto& c : testCases("host/log-lines.json", "escapes")) {
        cases.push_back(
            {c[0].get<std::string>(), c[1].get<std::string>(), c[2].get<std::string>()});
    }
    LogScene scene;
    for (const auto& c : cases) {
        scene.log.write(LogLevel::info, c[1]);
    }
    const std::vector<std::string> messages = scene.messages();
    ASSERT_EQ(messages.size(), cases.size());
    for (std::size_t i = 0; i < cases.size(); ++i) {
        EXPECT_EQ(messages[i], cases[i][2]) << cases[i][0];
    }
}

TEST(LogFile, LongMessagesAreCutWithANoteOfWhatWasLeftOut) {
    LogScene scene;
    scene.log.write(LogLevel::error, std::string(70000, 'a'));
    // An escape is never split: the line feed would need two bytes where one is left.
    scene.log.write(LogLevel::info, std::string(LogFile::maximumMessageBytes - 1, 'b') + "\nc");
    scene.log.write(LogLevel::info, std::string(LogFile::maximumMessageBytes, 'd'));
    const std::vector<std::string> messages = scene.messages();
    ASSERT_EQ(messages.size(), 3u);
    EXPECT_EQ(messages[0], std::string(65536, 'a') + " ... [4464 bytes left out]");
    EXPECT_EQ(messages[1], std::string(65535, 'b') + " ... [2 bytes left out]");
    EXPECT_EQ(messages[2], std::string(65536, 'd'));
}

TEST(LogFile, LinesOfEachLevelShareBoundedRoomPerRequest) {
    const struct {
        LogLevel level;
        LogLevel other;
        std::size_t room;
        std::string note;
    } cases[] = {
        {LogLevel::debug, LogLevel::info, LogFile::debugBytesPerRequest,
         "Further DEBUG lines of this request left out: they passed 524288 bytes"},
        {LogLevel::info, LogLevel::error, LogFile::infoBytesPerRequest,
         "Further INFO lines of this request left out: they passed 262144 bytes"},
        {LogLevel::error, LogLevel::info, LogFile::errorBytesPerRequest,
         "Further ERROR lines of this request left out: they passed 262144 bytes"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.note);
        LogScene scene;
        for (int i = 0; i < 10; ++i) {
            scene.log.write(c.level, std::string(100 * 1024, 'x'));
            scene.log.write(c.other, "Finished signing XML");
        }
        std::size_t bytes = 0;
        for (const std::string& line : linesOf(readFile(scene.path))) {
            bytes += line.substr(prefixSize).starts_with("x") ? line.size() + 1 : 0;
        }
        EXPECT_LE(bytes, c.room);
        EXPECT_GT(bytes, c.room - 1024);
        std::vector<std::string> messages = scene.messages();
        EXPECT_EQ(std::count(messages.begin(), messages.end(), c.note), 1);
        EXPECT_EQ(std::count(messages.begin(), messages.end(), "Finished signing XML"), 10);

        // The next request has its room again.
        scene.log.checkSize(true);
        scene.log.write(c.level, "next request");
        EXPECT_EQ(scene.messages().back(), "next request");
    }
}

// Whatever was planted at the log's place neither blocks the host nor receives its lines: a new
// log of the user's takes its place.
TEST(LogFile, OnlyARegularFileOfTheUserIsWrittenTo) {
    const struct {
        const char* what;
        std::function<void(const std::filesystem::path& log, const std::filesystem::path& other)>
            plant;
        bool needsRoot;
    } cases[] = {
        {"a FIFO", [](const auto& log, const auto&) { ASSERT_EQ(::mkfifo(log.c_str(), 0666), 0); },
         false},
        {"a link to another file",
         [](const auto& log, const auto& other) { std::filesystem::create_symlink(other, log); },
         false},
        {"a file of another user that everyone may write",
         [](const auto& log, const auto& other) {
             std::filesystem::create_hard_link(other, log);
             ASSERT_EQ(::chown(other.c_str(), 65534, 65534), 0);
             ASSERT_EQ(::chmod(other.c_str(), 0666), 0);
         },
         true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.needsRoot && ::geteuid() != 0) {
            continue;
        }
        LogScene scene;
        const auto other = scene.dir / "other";
        writeFile(other, "someone else's\n");
        c.plant(scene.path, other);
        scene.log.write(LogLevel::debug, "Request message = secret");
        EXPECT_EQ(readFile(other), "someone else's\n");
        struct stat info {};
        ASSERT_EQ(::lstat(scene.path.c_str(), &info), 0);
        EXPECT_TRUE(S_ISREG(info.st_mode) && info.st_uid == ::geteuid());
        EXPECT_EQ(scene.messages(), std::vector<std::string>{"Request message = secret"});
    }
}

TEST(LogFile, DeletedOnlyPastTheSizeLimitOfTheRequestsVerbosity) {
    for (const auto& [verbose, size, deleted] : {std::tuple{false, 12600, false},
                                                 {false, 12601, true},
                                                 {true, 549000, false},
                                                 {true, 549001, true}}) {
        LogScene scene;
        writeFile(scene.path, std::string(size, 'x'));
        scene.log.checkSize(verbose);
        EXPECT_EQ(std::filesystem::exists(scene.path), !deleted) << size;
    }
}

TEST(LogFile, ExistingLogOfTheUserIsMadePrivateAgain) {
    for (const ::mode_t mode : {0644, 0666, 0640, 0700}) {
        LogScene scene;
        writeFile(scene.path, "earlier line\n");
        ASSERT_EQ(::chmod(scene.path.c_str(), mode), 0);
        scene.log.write(LogLevel::info, "Application launched");
        struct stat info {};
        ASSERT_EQ(::stat(scene.path.c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 07777, 0600u) << std::oct << mode;
        EXPECT_EQ(linesOf(readFile(scene.path)).size(), 2u);
    }
}

// Every sendNativeMessage starts a host of its own, so hosts sharing one log is the normal case.
TEST(LogFile, HostsWritingOneLogAtOnceKeepEveryLineWhole) {
    constexpr int hosts = 8;
    constexpr int requestsEach = 50;
    std::string requests;
    for (int i = 0; i < requestsEach; ++i) {
        requests += tools::frameMessage(R"({"type":"version"})");
    }
    // Verbose: the size check then allows the whole test's lines.
    const auto run = [&](const std::filesystem::path& home, int count) {
        std::vector<std::unique_ptr<HostSession>> sessions;
        for (int i = 0; i < count; ++i) {
            sessions.push_back(std::make_unique<HostSession>(
                Environment{{"HOME", home.string()}, {"KIVO_VERBOSE_LOGGING", "ON"}}));
        }
        for (auto& session : sessions) {
            ASSERT_TRUE(session->process().sendRaw(requests));
        }
        for (auto& session : sessions) {
            for (int i = 0; i < requestsEach; ++i) {
                ASSERT_TRUE(session->answer());
            }
            EXPECT_EQ(session->finish(), 0);
        }
    };
    const TempDir alone;
    run(alone.path(), 1);
    const std::size_t linesPerHost = linesOf(readFile(alone / "kivo-signing.log")).size();

    const TempDir shared;
    run(shared.path(), hosts);
    const std::string log = readFile(shared / "kivo-signing.log");
    ASSERT_LT(log.size(), LogFile::verboseSizeLimit);
    EXPECT_EQ(expectLogLinesWellFormed(log), hosts * linesPerHost);
    const std::vector<std::string> lines = linesOf(log);
    EXPECT_EQ(std::ranges::count_if(lines,
                                    [](const std::string& text) {
                                        return text.ends_with(" INFO  Request type = version");
                                    }),
              hosts * requestsEach);
    // No temporary file is left behind.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(shared.path()), {}), 1);
}

}  // namespace
}  // namespace kivo::testing
