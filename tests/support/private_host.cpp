#include "private_host.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <thread>

namespace {

namespace fs = std::filesystem;

bool isolated = false;

// Where the host's /tmp stays reachable while the private one is set up; /var/log is replaced
// by a fresh tmpfs at the end anyway, so nothing of this remains visible.
constexpr const char* scratch = "/var/log";
constexpr const char* host_tmp_view = "/var/log/host-tmp";

void check(bool ok, const std::string& what) {
  if (!ok) {
    throw std::runtime_error(what + ": " + std::strerror(errno));
  }
}

void mount_tmpfs(const char* target, const char* mode) {
  check(::mount("tmpfs", target, "tmpfs", MS_NOSUID | MS_NODEV, mode) == 0,
        std::string("mount tmpfs on ") + target);
}

void bind(const std::string& from, const std::string& to) {
  check(::mount(from.c_str(), to.c_str(), nullptr, MS_BIND | MS_REC, nullptr) == 0,
        "bind " + from + " on " + to);
}

void bring_loopback_up() {
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  check(fd >= 0, "socket");
  ifreq request{};
  std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
  bool ok = ::ioctl(fd, SIOCGIFFLAGS, &request) == 0;
  request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP);
  ok = ok && ::ioctl(fd, SIOCSIFFLAGS, &request) == 0;
  const int saved = errno;
  ::close(fd);
  errno = saved;
  check(ok, "bring up lo");
}

// The part of `dir` below /tmp ("" when it is not under /tmp).
std::string below_tmp(const std::string& dir) {
  std::error_code ignored;
  const fs::path real = fs::weakly_canonical(dir, ignored);
  const fs::path relative = real.lexically_relative("/tmp");
  if (relative.empty() || *relative.begin() == "..") {
    return std::string();
  }
  return relative.string() == "." ? std::string() : relative.string();
}

// A fresh /tmp with the `keep` directories mounted back, and a fresh /var/log.
void replace_tmp_and_log(const std::vector<std::string>& keep) {
  fs::create_directories(scratch);
  mount_tmpfs(scratch, "mode=0755");
  fs::create_directories(host_tmp_view);
  bind("/tmp", host_tmp_view);
  mount_tmpfs("/tmp", "mode=1777");
  for (const std::string& dir : keep) {
    const std::string relative = below_tmp(dir);
    if (relative.empty()) {
      continue;
    }
    const std::string target = "/tmp/" + relative;
    fs::create_directories(target);
    bind(std::string(host_tmp_view) + "/" + relative, target);
  }
  check(::umount2(scratch, MNT_DETACH) == 0, "detach the scratch tmpfs");
  mount_tmpfs("/var/log", "mode=0755");
}

// Copies bytes both ways between two connected sockets until either side ends; closes both.
void shuttle(int a, int b) {
  char buffer[65536];
  pollfd ends[2] = {{a, POLLIN, 0}, {b, POLLIN, 0}};
  for (;;) {
    if (::poll(ends, 2, -1) < 0) {
      if (errno == EINTR) {
        continue;
      }
      break;
    }
    bool open = true;
    for (int i = 0; i < 2 && open; ++i) {
      if (ends[i].revents == 0) {
        continue;
      }
      const ssize_t n = ::read(ends[i].fd, buffer, sizeof(buffer));
      open = n > 0;
      for (ssize_t sent = 0; open && sent < n;) {
        const ssize_t w =
            ::send(ends[1 - i].fd, buffer + sent, static_cast<size_t>(n - sent), MSG_NOSIGNAL);
        open = w > 0;
        sent += w > 0 ? w : 0;
      }
    }
    if (!open) {
      break;
    }
  }
  ::close(a);
  ::close(b);
}

// The database server on 127.0.0.1:3306 of the private network: every connection made there is
// carried to the server's Unix socket, so clients keep the host and port they are configured
// with. A thread per connection; they live as long as the process.
void forward_database_port() {
  const char* host = std::getenv("NORVEL_DB_HOST");
  if (host != nullptr && *host != '\0' && std::strcmp(host, "127.0.0.1") != 0) {
    return;  // another server: the private network cannot reach it either way
  }
  const char* configured = std::getenv("NORVEL_DB_SOCKET");
  const std::string socket_path =
      configured != nullptr && *configured != '\0' ? configured : "/run/norvel-mariadb/mysqld.sock";
  const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  check(listener >= 0, "socket");
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(3306);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  check(::bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0 &&
            ::listen(listener, 128) == 0,
        "listen on 127.0.0.1:3306");
  std::thread([listener, socket_path] {
    for (;;) {
      const int client = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
      if (client < 0) {
        continue;
      }
      const int server = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
      sockaddr_un target{};
      target.sun_family = AF_UNIX;
      std::strncpy(target.sun_path, socket_path.c_str(), sizeof(target.sun_path) - 1);
      if (server < 0 ||
          ::connect(server, reinterpret_cast<const sockaddr*>(&target), sizeof(target)) != 0) {
        ::close(client);  // as if no server listened
        if (server >= 0) {
          ::close(server);
        }
        continue;
      }
      std::thread(shuttle, client, server).detach();
    }
  }).detach();
}

}  // namespace

bool enter_private_host(const std::vector<std::string>& keep) {
  if (::unshare(CLONE_NEWNS | CLONE_NEWNET) != 0) {
    std::fprintf(stderr,
                 "warning: cannot make private namespaces (%s); the tests use the host's port "
                 "5000, /tmp/norvel.out and /var/log/norvel\n",
                 std::strerror(errno));
    return false;
  }
  try {
    check(::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0, "make mounts private");
    bring_loopback_up();
    replace_tmp_and_log(keep);
    forward_database_port();
  } catch (const std::exception& e) {
    // Half set up is neither the host nor a private host: stop here rather than touch either.
    std::fprintf(stderr, "cannot set up the private host: %s\n", e.what());
    std::exit(2);
  }
  isolated = true;
  return true;
}

bool in_private_host() {
  return isolated;
}
