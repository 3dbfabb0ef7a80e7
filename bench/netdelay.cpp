// A link with a fixed one-way delay between two network namespaces, for bench/pageload.
//
//   netdelay NS_A TUN_A NS_B TUN_B DELAY_MS
//
// Opens the TUN device TUN_A inside namespace NS_A and TUN_B inside NS_B (both made beforehand
// with `ip tuntap add ... mode tun`) and copies every IP packet read from one to the other
// DELAY_MS milliseconds later, in order, both ways: what `tc qdisc ... netem delay` does on a
// veth pair, for kernels built without netem. Every packet waits, SYNs and ACKs included, so a
// new TCP connection costs its round trip as on a real network. Runs until SIGTERM or SIGINT.
#include <fcntl.h>
#include <linux/if.h>
#include <linux/if_tun.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <string>
#include <vector>

namespace {

volatile std::sig_atomic_t stop = 0;

long long NowNs() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t.tv_sec * 1000000000LL + t.tv_nsec;
}

int OpenTunIn(const std::string& ns, const std::string& dev) {
  int nsFd = open(("/var/run/netns/" + ns).c_str(), O_RDONLY | O_CLOEXEC);
  if (nsFd < 0 || setns(nsFd, CLONE_NEWNET) != 0) {
    std::fprintf(stderr, "netdelay: cannot enter namespace %s: %s\n", ns.c_str(),
                 std::strerror(errno));
    std::exit(1);
  }
  close(nsFd);
  int fd = open("/dev/net/tun", O_RDWR | O_NONBLOCK | O_CLOEXEC);
  ifreq req{};
  req.ifr_flags = IFF_TUN | IFF_NO_PI;
  std::strncpy(req.ifr_name, dev.c_str(), IFNAMSIZ - 1);
  if (fd < 0 || ioctl(fd, TUNSETIFF, &req) != 0) {
    std::fprintf(stderr, "netdelay: cannot open %s in %s: %s\n", dev.c_str(), ns.c_str(),
                 std::strerror(errno));
    std::exit(1);
  }
  return fd;
}

struct Packet {
  long long due;
  std::vector<char> bytes;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 6) {
    std::fprintf(stderr, "usage: netdelay NS_A TUN_A NS_B TUN_B DELAY_MS\n");
    return 2;
  }
  long long delay = std::atoll(argv[5]) * 1000000LL;
  int fds[2] = {OpenTunIn(argv[1], argv[2]), OpenTunIn(argv[3], argv[4])};
  std::signal(SIGTERM, [](int) { stop = 1; });
  std::signal(SIGINT, [](int) { stop = 1; });
  std::deque<Packet> queues[2];  // queues[k]: read from fds[k], to be written to the other
  char buf[65536];
  while (!stop) {
    long long now = NowNs();
    for (int k = 0; k < 2; ++k) {
      while (!queues[k].empty() && queues[k].front().due <= now) {
        const std::vector<char>& b = queues[k].front().bytes;
        (void)!write(fds[1 - k], b.data(), b.size());  // a full queue drops, as a link would
        queues[k].pop_front();
      }
    }
    long long wait = -1;
    for (auto& q : queues) {
      if (!q.empty() && (wait < 0 || q.front().due - now < wait)) wait = q.front().due - now;
    }
    pollfd p[2] = {{fds[0], POLLIN, 0}, {fds[1], POLLIN, 0}};
    timespec t{wait / 1000000000LL, wait % 1000000000LL};
    if (ppoll(p, 2, wait < 0 ? nullptr : &t, nullptr) < 0 && errno != EINTR) break;
    now = NowNs();
    for (int k = 0; k < 2; ++k) {
      if ((p[k].revents & POLLIN) == 0) continue;
      for (;;) {
        ssize_t n = read(fds[k], buf, sizeof buf);
        if (n <= 0) break;
        queues[k].push_back({now + delay, std::vector<char>(buf, buf + n)});
      }
    }
  }
  return 0;
}
