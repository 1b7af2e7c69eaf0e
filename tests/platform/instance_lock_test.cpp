// One driver per working directory: the lock conflicts with any other holder,
// is free again once released, and a failure says why.
#include "platform/instance_lock.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>

#include "tests/support/temp_dir.h"

namespace drvvzt {
namespace {

namespace fs = std::filesystem;

void WriteText(int fd, const std::string& text) {
  ssize_t ignored = ::write(fd, text.data(), text.size());
  (void)ignored;
}

// A child process running body(to_parent, from_parent). The parent reads what
// the child writes, and the child may wait in WaitForParent() until the parent
// calls Release(): both are blocking reads on pipes, which end early only when
// the other side is gone, so neither side needs a sleep.
class Child {
public:
  template <typename Body>
  explicit Child(Body body) {
    if (::pipe(to_parent_) != 0 || ::pipe(to_child_) != 0) throw std::runtime_error("pipe");
    pid_ = ::fork();
    if (pid_ < 0) throw std::runtime_error("fork");
    if (pid_ == 0) {
      ::close(to_parent_[0]);
      ::close(to_child_[1]);
      body(to_parent_[1], to_child_[0]);
      ::_exit(0);
    }
    ::close(to_parent_[1]);
    ::close(to_child_[0]);
  }
  ~Child() {
    if (pid_ > 0) Wait();
  }

  // The next byte the child writes; '\0' when it ended without one.
  char ReadByte() {
    char c = 0;
    return ::read(to_parent_[0], &c, 1) == 1 ? c : '\0';
  }
  void Release() {
    if (to_child_[1] >= 0) ::close(to_child_[1]);
    to_child_[1] = -1;
  }
  // Releases the child and returns the rest of what it wrote once it ended.
  std::string Wait() {
    Release();
    std::string text;
    char buffer[256];
    ssize_t n;
    while ((n = ::read(to_parent_[0], buffer, sizeof buffer)) > 0) {
      text.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(to_parent_[0]);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    return text;
  }
  static void WaitForParent(int from_parent) {
    char c;
    while (::read(from_parent, &c, 1) > 0) {
    }
  }

private:
  pid_t pid_ = -1;
  int to_parent_[2] = {-1, -1};
  int to_child_[2] = {-1, -1};
};

TEST(InstanceLock, SecondHolderInOneProcessIsRefusedAndFileKeepsFirstPid) {
  testing::TempDir dir;
  auto first = std::make_unique<InstanceLock>(dir.path().string());
  ASSERT_EQ(first->State(), InstanceLockState::kHeld);
  EXPECT_EQ(dir.Read(kInstanceLockName), std::to_string(::getpid()) + "\n");
  const mode_t umask_now = ::umask(0);
  ::umask(umask_now);
  struct stat st {};
  ASSERT_EQ(::stat(first->Path().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0644u & ~umask_now);

  dir.Write(kInstanceLockName, "4242\n");  // as if another driver had written it
  {
    InstanceLock second(dir.path().string());
    EXPECT_EQ(second.State(), InstanceLockState::kHeldElsewhere);
    EXPECT_FALSE(second.Error());
  }
  EXPECT_EQ(dir.Read(kInstanceLockName), "4242\n") << "the refused one wrote into the holder's file";

  first.reset();
  InstanceLock again(dir.path().string());
  EXPECT_EQ(again.State(), InstanceLockState::kHeld);
  EXPECT_EQ(dir.Read(kInstanceLockName), std::to_string(::getpid()) + "\n");
}

TEST(InstanceLock, AnotherProcessHoldingItBlocksUsUntilItEnds) {
  testing::TempDir dir;
  const std::string where = dir.path().string();
  Child child([&](int to_parent, int from_parent) {
    InstanceLock lock(where);
    WriteText(to_parent, lock.Held() ? "H" : "x");
    Child::WaitForParent(from_parent);  // holds the lock until then
  });
  ASSERT_EQ(child.ReadByte(), 'H');
  {
    InstanceLock ours(where);
    EXPECT_EQ(ours.State(), InstanceLockState::kHeldElsewhere);
  }
  child.Wait();
  InstanceLock ours(where);
  EXPECT_EQ(ours.State(), InstanceLockState::kHeld);
}

TEST(InstanceLock, FailureNamesCallPathAndErrno) {
  testing::TempDir dir;
  dir.Write("plain-file", "");
  struct Case {
    std::string dir;
    int error;
  } cases[] = {
      {dir.File("missing"), ENOENT},
      {dir.File("plain-file"), ENOTDIR},
  };
  for (const auto& c : cases) {
    InstanceLock lock(c.dir);
    EXPECT_EQ(lock.State(), InstanceLockState::kFailed) << c.dir;
    ASSERT_TRUE(lock.Error()) << c.dir;
    EXPECT_EQ(lock.Error()->call, "open");
    EXPECT_EQ(lock.Error()->path, c.dir + "/" + kInstanceLockName);
    EXPECT_EQ(lock.Error()->error_number, c.error) << c.dir;
  }
}

// Root may write anywhere, so the attempt runs in a child that drops to an
// ordinary user first.
TEST(InstanceLock, UnwritableDirectoryIsNotTakenForARunningDriver) {
  testing::TempDir dir;
  const fs::path read_only = dir.path() / "read-only";
  fs::create_directory(read_only);
  fs::permissions(dir.path(), fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
  fs::permissions(read_only, fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read |
                                 fs::perms::group_exec | fs::perms::others_read |
                                 fs::perms::others_exec);
  Child child([&](int to_parent, int) {
    if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) {
      return WriteText(to_parent, "setuid failed");
    }
    InstanceLock lock(read_only.string());
    if (lock.State() != InstanceLockState::kFailed || !lock.Error()) {
      return WriteText(to_parent, "not failed");
    }
    WriteText(to_parent, lock.Error()->Text());
  });
  const std::string expected =
      "open " + (read_only / kInstanceLockName).string() + ": " + std::strerror(EACCES);
  EXPECT_EQ(child.Wait(), expected);
}

}  // namespace
}  // namespace drvvzt
