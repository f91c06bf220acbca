#include <gtest/gtest.h>

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <thread>

#include "json/json_document.hpp"

using namespace veldra;

namespace {

std::string temp_path(const char* name) {
    const char* dir = std::getenv("TMPDIR");
    return std::string(dir != nullptr ? dir : "/tmp") + "/" + name + "." + std::to_string(::getpid());
}

Expected<PaddedText, int> read_whole(const std::string& path, std::size_t limit) {
    FileReading reading(path.c_str(), limit);
    return reading.step();
}

TEST(FileReading, ReadsRegularFilesAndStreamsUpToTheLimitAndNoFurther) {
    const std::string small = temp_path("reading-small");
    {
        const int fd = ::open(small.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::write(fd, "0123456789", 10), 10);
        ::close(fd);
    }
    struct Row { std::string path; std::size_t limit; int error; std::size_t size; };
    const Row rows[] = {
        {small, 10, 0, 10},             // exactly the limit
        {small, 9, EFBIG, 0},           // one byte over: refused by its size
        {"/dev/zero", 100000, EFBIG, 0},  // an endless stream stops past the limit
        {"/dev/null", 5, 0, 0},
        {"/", 5, EISDIR, 0},
        {small + ".missing", 5, ENOENT, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.path + " limit " + std::to_string(row.limit));
        auto text = read_whole(row.path, row.limit);
        if (row.error != 0) {
            ASSERT_FALSE(text);
            EXPECT_EQ(text.error(), row.error);
            continue;
        }
        ASSERT_TRUE(text) << text.error();
        EXPECT_EQ(text->view().size(), row.size);
        EXPECT_EQ(text->view().data()[row.size], '\0');  // the padding follows
    }
    EXPECT_EQ(read_whole(small, 10)->view(), "0123456789");
    ::unlink(small.c_str());
}

void on_signal(int) {}

// A signal that interrupts a blocking read ends the step with EINTR; the
// next step goes on with what was read already.
TEST(FileReading, AnInterruptedReadGoesOnWhereItStopped) {
    const std::string fifo = temp_path("reading-fifo");
    ::unlink(fifo.c_str());
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    struct sigaction action = {};
    action.sa_handler = on_signal;  // no SA_RESTART: the read returns EINTR
    struct sigaction previous;
    ASSERT_EQ(::sigaction(SIGUSR1, &action, &previous), 0);
    const pthread_t reader = ::pthread_self();
    std::thread writer([&] {
        const int fd = ::open(fifo.c_str(), O_WRONLY);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::write(fd, "[1, ", 4), 4);
        ::usleep(200000);
        ::pthread_kill(reader, SIGUSR1);
        ::usleep(200000);
        ASSERT_EQ(::write(fd, "2]", 2), 2);
        ::close(fd);
    });
    FileReading reading(fifo.c_str(), 1 << 20);
    int interrupted = 0;
    auto text = reading.step();
    while (!text && text.error() == EINTR) {
        ++interrupted;
        text = reading.step();
    }
    writer.join();
    ::sigaction(SIGUSR1, &previous, nullptr);
    ::unlink(fifo.c_str());
    ASSERT_TRUE(text) << text.error();
    EXPECT_EQ(text->view(), "[1, 2]");
    EXPECT_GE(interrupted, 1);
}

}  // namespace
