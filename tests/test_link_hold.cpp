// The claim on a board: refused to a second controller of this process or of another one,
// gone with its holder however the holder ends, never kept by a forked child, and private to
// the network namespace.
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "link_hold.h"
#include "temp_file.h"

namespace {

const std::string kKey = LinkHold::udpKey("192.168.1.5", 8880);
const char* const kLink = "the board 192.168.1.5:8880";

/// A child process for the test: runs `body` after fork and leaves with its result as the exit
/// status; the parent talks to it over two pipes (one byte each way).
class Child {
 public:
  template <typename Body>
  explicit Child(Body body) {
    if (pipe(toParent_) != 0 || pipe(toChild_) != 0) throw std::runtime_error("pipe");
    pid_ = fork();
    if (pid_ == 0) _exit(body(*this));
  }
  ~Child() {
    if (pid_ > 0 && !reaped_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    for (int fd : {toParent_[0], toParent_[1], toChild_[0], toChild_[1]}) close(fd);
  }

  pid_t pid() const { return pid_; }
  // In the child.
  void tellParent() const { (void)!write(toParent_[1], "x", 1); }
  void waitForParent() const {
    char byte;
    (void)!read(toChild_[0], &byte, 1);
  }
  // In the parent.
  bool waitForChild() const {
    char byte;
    return read(toParent_[0], &byte, 1) == 1;
  }
  void tellChild() const { (void)!write(toChild_[1], "x", 1); }
  /// The child's exit status, or -1 when a signal ended it.
  int join() {
    int status = 0;
    waitpid(pid_, &status, 0);
    reaped_ = true;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  void killHard() {
    kill(pid_, SIGKILL);
    join();
  }

 private:
  pid_t pid_ = -1;
  bool reaped_ = false;
  int toParent_[2] = {-1, -1};
  int toChild_[2] = {-1, -1};
};

/// The claim's refusal, or an empty one when the claim succeeded (and was let go again).
std::optional<LinkHeldError> refusal() {
  try {
    LinkHold hold(kKey, kLink);
    return std::nullopt;
  } catch (const LinkHeldError& error) {
    return error;
  }
}

}  // namespace

TEST(LinkHold, ASecondClaimInThisProcessIsRefusedUntilTheFirstIsReleased) {
  {
    LinkHold first(kKey, kLink);
    EXPECT_TRUE(first.holds());
    const auto refused = refusal();
    ASSERT_TRUE(refused);
    EXPECT_TRUE(refused->inThisProcess());
    EXPECT_EQ(std::string(refused->what()),
              "the board 192.168.1.5:8880 is held by another controller in this process: close it first");
    LinkHold moved(std::move(first));  // a move keeps the claim
    EXPECT_FALSE(first.holds());
    EXPECT_TRUE(refusal());
  }
  EXPECT_FALSE(refusal()) << "destruction releases the claim";
}

TEST(LinkHold, AHolderInAnotherProcessIsNamedAndItsEndReleasesTheLink) {
  Child holder([](const Child& self) {
    LinkHold hold(kKey, kLink);
    self.tellParent();
    pause();  // until killed: no destructor runs
    return 0;
  });
  ASSERT_TRUE(holder.waitForChild());
  const auto refused = refusal();
  ASSERT_TRUE(refused);
  EXPECT_FALSE(refused->inThisProcess());
  EXPECT_EQ(refused->holderPid(), holder.pid());
  EXPECT_NE(std::string(refused->what()).find("the board 192.168.1.5:8880 is held by process " +
                                              std::to_string(holder.pid()) + " (test_link_hold)"),
            std::string::npos)
      << refused->what();
  // Another key is free all the while.
  EXPECT_NO_THROW(LinkHold(LinkHold::udpKey("192.168.1.5", 8890), "another board"));
  holder.killHard();
  EXPECT_FALSE(refusal()) << "a holder killed with SIGKILL leaves no claim behind";
}

TEST(LinkHold, AForkedChildNeitherKeepsNorReleasesTheParentsClaim) {
  auto hold = std::make_unique<LinkHold>(kKey, kLink);
  Child child([&hold](const Child& self) {
    // The parent's claim is not this process's, and this process's copy of it is gone.
    const bool inherited = hold->holds();
    self.tellParent();
    self.waitForParent();
    return inherited ? 1 : 0;
  });
  ASSERT_TRUE(child.waitForChild());
  EXPECT_TRUE(refusal()) << "still held by this process";
  hold.reset();
  EXPECT_FALSE(refusal()) << "the living child kept the parent's claim";
  child.tellChild();
  EXPECT_EQ(child.join(), 0);

  // A child that destroys its copy of a claim releases nothing of the parent's.
  LinkHold parents(kKey, kLink);
  Child destroyer([&parents](const Child&) {
    { LinkHold gone = std::move(parents); }
    return 0;
  });
  EXPECT_EQ(destroyer.join(), 0);
  EXPECT_TRUE(parents.holds());
  EXPECT_TRUE(refusal());
}

TEST(LinkHold, ClaimsArePrivateToTheNetworkNamespace) {
  LinkHold hold(kKey, kLink);
  Child elsewhere([](const Child&) {
    if (unshare(CLONE_NEWNET) != 0) return 3;
    return refusal() ? 1 : 0;
  });
  EXPECT_EQ(elsewhere.join(), 0) << "3: no namespace; 1: the claim reached into another namespace";
}

TEST(LinkHold, SerialKeysNameTheDeviceItselfWhateverItIsCalled) {
  TempFile device("");
  const std::string alias = device.path() + ".alias";
  std::filesystem::create_symlink(device.path(), alias);
  EXPECT_EQ(LinkHold::serialKey(alias), LinkHold::serialKey(device.path()));
  std::filesystem::remove(alias);
  EXPECT_EQ(LinkHold::serialKey("/dev/no-such-device"), "tty/dev/no-such-device");
  // Two local ports, one board: the key is the board's alone.
  EXPECT_EQ(LinkHold::udpKey("192.168.1.5", 8880), "udp/192.168.1.5:8880");
}
