#include "filesystems/isolated_listing.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "platform/output_file.h"
#include "platform/system_error.h"

namespace pictavo {
namespace {

FileSystemListing FailedPass(const std::string& why) {
  FileSystemListing listing;
  listing.pass_failed = true;
  listing.notes.push_back(std::string(kFileSystemPassFailedNote) + " (" + why + ")");
  return listing;
}

[[noreturn]] void RunChild(int write_fd, SectorSource& source, const ListingOptions& options) {
  const FileSystemListing listing = ListFileSystemsInProcess(source, options);
  const std::vector<uint8_t> bytes = EncodeListing(listing);
  int error = 0;
  const bool sent = WriteFully(write_fd, bytes.data(), bytes.size(), &error);
  // Leave without running the parent's exit handlers or flushing its copies of stdio buffers.
  _exit(sent ? 0 : 3);
}

}  // namespace

FileSystemListing ListFileSystemsIsolated(SectorSource& source, const ListingOptions& options,
                                          const IsolationOptions& isolation) {
  int pipe_fds[2];
  if (pipe2(pipe_fds, O_CLOEXEC) != 0) return FailedPass(SystemErrorText(errno));
  const pid_t child = fork();
  if (child < 0) {
    const int error = errno;
    close(pipe_fds[0]);
    close(pipe_fds[1]);
    return FailedPass(SystemErrorText(error));
  }
  if (child == 0) {
    close(pipe_fds[0]);
    RunChild(pipe_fds[1], source, options);
  }
  close(pipe_fds[1]);

  std::vector<uint8_t> received;
  std::string failure;
  const auto deadline = std::chrono::steady_clock::now() + isolation.time_limit;
  uint8_t buffer[65536];
  for (;;) {
    if (isolation.cancel && isolation.cancel->load()) {
      failure = "stopped";
      break;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      failure = "it took longer than " + std::to_string(isolation.time_limit.count()) + " s";
      break;
    }
    pollfd waiting{pipe_fds[0], POLLIN, 0};
    const int ready = poll(&waiting, 1, 200);
    if (ready < 0 && errno != EINTR) {
      failure = SystemErrorText(errno);
      break;
    }
    if (ready <= 0) continue;
    const ssize_t n = read(pipe_fds[0], buffer, sizeof buffer);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n < 0) {
      failure = SystemErrorText(errno);
      break;
    }
    if (n == 0) break;
    received.insert(received.end(), buffer, buffer + n);
  }
  close(pipe_fds[0]);
  if (!failure.empty()) kill(child, SIGKILL);

  int status = 0;
  pid_t waited;
  do {
    waited = waitpid(child, &status, 0);
  } while (waited < 0 && errno == EINTR);
  if (!failure.empty()) return FailedPass(failure);
  if (waited < 0) return FailedPass(SystemErrorText(errno));
  if (WIFSIGNALED(status)) {
    const int signal_number = WTERMSIG(status);
    const char* description = strsignal(signal_number);
    return FailedPass("the reader stopped with signal " + std::to_string(signal_number) +
                      (description ? std::string(", ") + description : std::string()));
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    return FailedPass("the reader ended with status " + std::to_string(WEXITSTATUS(status)));
  }
  auto listing = DecodeListing(received.data(), received.size());
  if (!listing) return FailedPass("its listing could not be read back");
  return std::move(*listing);
}

}  // namespace pictavo
