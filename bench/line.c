#define _GNU_SOURCE
/* A player's line between two TUN devices: each direction has a rate, a one-way
 * delay, random loss and a bottleneck queue that drops what overflows it, as a
 * home line does. The kernel here has no netem; this stands in for it.
 *
 *   line NEAR FAR RATE_BIT_S DELAY_MS LOSS_PPM QUEUE_BYTES
 *
 * Creates both devices, prints "ready" and forwards until its standard input
 * closes; the caller moves FAR into the other namespace and gives addresses. */
#include <errno.h>
#include <fcntl.h>
#include <linux/if_tun.h>
#include <net/if.h>
#include <poll.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <time.h>
#include <unistd.h>

enum { kSlots = 8192, kMaxPacket = 2048 };

struct packet {
  int64_t due;
  int length;
  unsigned char bytes[kMaxPacket];
};

struct direction {
  int from, to;
  struct packet* ring;
  int head, count;
  int64_t busy_until; /* when the last packet queued has left the bottleneck */
  uint64_t sent, lost, overflowed;
};

static int64_t rate, delay_ns, loss_ppm, queue_bytes;

static int64_t now_ns(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (int64_t)t.tv_sec * 1000000000 + t.tv_nsec;
}

static int open_tun(const char* name) {
  int fd = open("/dev/net/tun", O_RDWR | O_NONBLOCK);
  struct ifreq ifr;
  memset(&ifr, 0, sizeof ifr);
  ifr.ifr_flags = IFF_TUN | IFF_NO_PI;
  strncpy(ifr.ifr_name, name, IFNAMSIZ - 1);
  if (fd < 0 || ioctl(fd, TUNSETIFF, &ifr) < 0) {
    fprintf(stderr, "line: cannot create %s: %s\n", name, strerror(errno));
    exit(1);
  }
  return fd;
}

static void take(struct direction* d, int64_t now) {
  for (;;) {
    struct packet* p = &d->ring[(d->head + d->count) % kSlots];
    const ssize_t n = read(d->from, p->bytes, kMaxPacket);
    if (n <= 0) return;
    if ((uint64_t)rand() % 1000000 < (uint64_t)loss_ppm) {
      d->lost++;
      continue;
    }
    /* What waits for the bottleneck beyond its queue is dropped at its tail. */
    const int64_t start = d->busy_until > now ? d->busy_until : now;
    if (d->count == kSlots || (start - now) * rate / 8000000000 > queue_bytes) {
      d->overflowed++;
      continue;
    }
    d->busy_until = start + (int64_t)n * 8000000000 / rate;
    p->due = d->busy_until + delay_ns;
    p->length = (int)n;
    d->count++;
  }
}

static int64_t give(struct direction* d, int64_t now) {
  while (d->count > 0) {
    struct packet* p = &d->ring[d->head];
    if (p->due > now) return p->due;
    if (write(d->to, p->bytes, (size_t)p->length) == p->length) d->sent++;
    d->head = (d->head + 1) % kSlots;
    d->count--;
  }
  return -1;
}

int main(int argc, char** argv) {
  if (argc != 7) {
    fprintf(stderr, "usage: line NEAR FAR RATE_BIT_S DELAY_MS LOSS_PPM QUEUE_BYTES\n");
    return 2;
  }
  rate = atoll(argv[3]);
  delay_ns = (int64_t)(atof(argv[4]) * 1e6);
  loss_ppm = atoll(argv[5]);
  queue_bytes = atoll(argv[6]);
  srand((unsigned)now_ns());
  /* Packets leave on time, not up to 50 us late. */
  prctl(PR_SET_TIMERSLACK, 1UL);
  const int near = open_tun(argv[1]), far = open_tun(argv[2]);
  struct direction ways[2] = {{near, far, NULL, 0, 0, 0, 0, 0, 0},
                              {far, near, NULL, 0, 0, 0, 0, 0, 0}};
  for (int i = 0; i < 2; ++i) {
    ways[i].ring = malloc(sizeof(struct packet) * kSlots);
    if (!ways[i].ring) return 1;
  }
  printf("ready\n");
  fflush(stdout);
  fcntl(0, F_SETFL, O_NONBLOCK);
  for (;;) {
    const int64_t now = now_ns();
    int64_t next = -1;
    for (int i = 0; i < 2; ++i) {
      const int64_t due = give(&ways[i], now);
      if (due >= 0 && (next < 0 || due < next)) next = due;
    }
    struct pollfd fds[3] = {{near, POLLIN, 0}, {far, POLLIN, 0}, {0, POLLIN, 0}};
    struct timespec wait = {0, 0};
    if (next > now) wait = (struct timespec){(next - now) / 1000000000, (next - now) % 1000000000};
    if (ppoll(fds, 3, next >= 0 ? &wait : NULL, NULL) < 0 && errno != EINTR) return 1;
    if (fds[2].revents) {
      char c;
      if (read(0, &c, 1) == 0) break;
    }
    const int64_t at = now_ns();
    take(&ways[0], at);
    take(&ways[1], at);
  }
  fprintf(stderr, "line: sent %llu/%llu, lost %llu/%llu, overflowed %llu/%llu (out/back)\n",
          (unsigned long long)ways[0].sent, (unsigned long long)ways[1].sent,
          (unsigned long long)ways[0].lost, (unsigned long long)ways[1].lost,
          (unsigned long long)ways[0].overflowed, (unsigned long long)ways[1].overflowed);
  return 0;
}
