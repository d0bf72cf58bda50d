// The log file: how messages are written into lines, the room one request has, the file's mode,
// and several built hosts writing one log at the same time.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>

#include "foundation/Log.h"
#include "support/HostSession.h"
#include "support/TestCases.h"

namespace kivo::testing {
namespace {

using foundation::LogFile;
using foundation::LogLevel;

constexpr std::size_t prefixSize = std::string_view("06-12-2026 09:00:00.000 INFO  ").size();

// The message parts of the lines of the log at `path`.
std::vector<std::string> messagesOf(const std::filesystem::path& path) {
    std::vector<std::string> result;
    for (const std::string& line : linesOf(readFile(path))) {
        result.push_back(line.substr(prefixSize));
    }
    return result;
}

struct LogScene {
    TempDir dir;
    std::filesystem::path path = dir / "kivo-signing.log";
    LogFile log{path};

    std::vector<std::string> messages() const { return messagesOf(path); }
};

TEST(LogFile, MessagesAreEscapedOntoOneLineAndCutWithANoteOfWhatWasLeftOut) {
    nlohmann::json cases = testCases("host/log-lines.json", "escapes");
    // Bytes that are not UTF-8 cannot be JSON text.
    cases.push_back({"bytes that are not UTF-8", "a\xff\xc0\x8a\xed\xa0\x80",
                     "a\\xff\\xc0\\x8a\\xed\\xa0\\x80"});
    cases.push_back({"a character cut short at the end", "a\xe2\x80", "a\\xe2\\x80"});
    cases.push_back({"too long", std::string(70000, 'a'),
                     std::string(65536, 'a') + " ... [4464 bytes left out]"});
    // An escape is never split: the line feed would need two bytes where one is left.
    cases.push_back({"too long at an escape",
                     std::string(LogFile::maximumMessageBytes - 1, 'b') + "\nc",
                     std::string(65535, 'b') + " ... [2 bytes left out]"});
    cases.push_back({"as long as may be", std::string(LogFile::maximumMessageBytes, 'd'),
                     std::string(65536, 'd')});
    LogScene scene;
    for (const auto& c : cases) {
        scene.log.write(LogLevel::info, c[1].get<std::string>());
    }
    const std::vector<std::string> messages = scene.messages();
    ASSERT_EQ(messages.size(), cases.size());
    for (std::size_t i = 0; i < cases.size(); ++i) {
        EXPECT_EQ(messages[i], cases[i][2].get<std::string>()) << cases[i][0];
    }
}

TEST(LogFile, LinesOfEachLevelShareBoundedRoomPerRequest) {
    for (const auto& [level, room, note] :
         {std::tuple{LogLevel::debug, LogFile::debugBytesPerRequest,
                     "Further DEBUG lines of this request left out: they passed 524288 bytes"},
          {LogLevel::info, LogFile::infoBytesPerRequest,
           "Further INFO lines of this request left out: they passed 262144 bytes"},
          {LogLevel::error, LogFile::errorBytesPerRequest,
           "Further ERROR lines of this request left out: they passed 262144 bytes"}}) {
        SCOPED_TRACE(note);
        LogScene scene;
        for (int i = 0; i < 10; ++i) {
            scene.log.write(level, std::string(100 * 1024, 'x'));
            // Lines of another level, which has room of its own.
            scene.log.write(level == LogLevel::info ? LogLevel::error : LogLevel::info,
                            "Finished signing XML");
        }
        std::size_t bytes = 0;
        for (const std::string& line : linesOf(readFile(scene.path))) {
            bytes += line.substr(prefixSize).starts_with("x") ? line.size() + 1 : 0;
        }
        EXPECT_LE(bytes, room);
        EXPECT_GT(bytes, room - 1024);
        EXPECT_EQ(std::ranges::count(scene.messages(), note), 1);
        EXPECT_EQ(std::ranges::count(scene.messages(), "Finished signing XML"), 10);

        // The next request has its room again.
        scene.log.checkSize(true);
        scene.log.write(level, "next request");
        EXPECT_EQ(scene.messages().back(), "next request");
    }
}

// Whatever was planted at the log's place neither blocks the host nor receives its lines: a new
// log of the user's takes its place. The user's own log is kept, and made private again.
TEST(LogFile, OnlyARegularFileOfTheUserIsWrittenToAndItIsPrivate) {
    namespace fs = std::filesystem;
    for (const std::string found :
         {"a FIFO", "a link", "a file of another user", "0644", "0666", "0640", "0700"}) {
        SCOPED_TRACE(found);
        LogScene scene;
        const auto other = scene.dir / "other";
        writeFile(other, "someone else's\n");
        std::vector<std::string> expected{"Request message = secret"};
        if (found == "a FIFO") {
            ASSERT_EQ(::mkfifo(scene.path.c_str(), 0666), 0);
        } else if (found == "a link") {
            fs::create_symlink(other, scene.path);
        } else if (found == "a file of another user") {
            if (::geteuid() != 0) {
                continue;  // only root can give a file away
            }
            fs::create_hard_link(other, scene.path);
            ASSERT_EQ(::chown(other.c_str(), 65534, 65534), 0);
            ASSERT_EQ(::chmod(other.c_str(), 0666), 0);  // that everyone may write
        } else {
            writeFile(scene.path, "06-12-2026 09:00:00.000 INFO  Earlier line\n");
            fs::permissions(scene.path, static_cast<fs::perms>(std::stoi(found, nullptr, 8)));
            expected.insert(expected.begin(), "Earlier line");
        }
        scene.log.write(LogLevel::debug, "Request message = secret");
        EXPECT_EQ(readFile(other), "someone else's\n");
        struct stat info {};
        ASSERT_EQ(::lstat(scene.path.c_str(), &info), 0);
        EXPECT_TRUE(S_ISREG(info.st_mode) && info.st_uid == ::geteuid());
        EXPECT_EQ(info.st_mode & 07777, 0600u);
        EXPECT_EQ(scene.messages(), expected);
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

// Every sendNativeMessage starts a host of its own, so hosts sharing one log is the normal case.
TEST(LogFile, HostsWritingOneLogAtOnceKeepEveryLineWhole) {
    constexpr int hosts = 8;
    constexpr int requestsEach = 50;
    std::string requests;
    for (int i = 0; i < requestsEach; ++i) {
        requests += tools::frameMessage(R"({"type":"version"})");
    }
    // One host alone in its home, to count its lines; the others share one. Verbose: the size
    // check then allows the whole test's lines.
    const TempDir alone;
    const TempDir shared;
    std::vector<std::unique_ptr<HostSession>> sessions;
    for (int i = 0; i <= hosts; ++i) {
        sessions.push_back(std::make_unique<HostSession>(Environment{
            {"HOME", (i == 0 ? alone : shared).path().string()}, {"KIVO_VERBOSE_LOGGING", "ON"}}));
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
    const std::size_t linesPerHost = linesOf(readFile(alone / "kivo-signing.log")).size();
    const std::string log = readFile(shared / "kivo-signing.log");
    ASSERT_LT(log.size(), LogFile::verboseSizeLimit);
    EXPECT_EQ(expectLogLinesWellFormed(log), hosts * linesPerHost);
    EXPECT_EQ(std::ranges::count(messagesOf(shared / "kivo-signing.log"), "Request type = version"),
              hosts * requestsEach);
    // No temporary file is left behind.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(shared.path()), {}), 1);
}

}  // namespace
}  // namespace kivo::testing
