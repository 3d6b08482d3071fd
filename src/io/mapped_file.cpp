#include "io/mapped_file.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <set>

#include <fmt/format.h>

#include "vexil/errors.hpp"

namespace vexil::io {
namespace {

// The live mappings as the signal handler sees them: address ranges in
// fixed slots, read without locks. A slot is in use while `begin` is set.
struct Slot {
  std::atomic<std::uintptr_t> begin{0};
  std::atomic<std::uintptr_t> end{0};
  std::atomic<bool> damaged{false};
};
constexpr int kSlots = 256;
Slot g_slots[kSlots];
static_assert(std::atomic<std::uintptr_t>::is_always_lock_free && std::atomic<bool>::is_always_lock_free,
              "the fault handler needs lock-free atomics");

std::uintptr_t g_page = 4096;
struct sigaction g_previous {};

// Installing and removing the handler, the count of live mappings and the
// set of them (for check_mapping_intact).
std::mutex g_mutex;
int g_live = 0;
std::set<const void*> g_mappings;

void forward(int sig, siginfo_t* info, void* context) {
  if (g_previous.sa_flags & SA_SIGINFO) {
    if (g_previous.sa_sigaction) {
      g_previous.sa_sigaction(sig, info, context);
      return;
    }
  } else if (g_previous.sa_handler != SIG_DFL && g_previous.sa_handler != SIG_IGN) {
    g_previous.sa_handler(sig);
    return;
  }
  // Default action (an ignored SIGBUS from a real fault would only repeat):
  // restore it, and the faulting instruction faults again and ends the process.
  struct sigaction dfl {};
  dfl.sa_handler = SIG_DFL;
  sigemptyset(&dfl.sa_mask);
  ::sigaction(SIGBUS, &dfl, nullptr);
}

void on_sigbus(int sig, siginfo_t* info, void* context) {
  const int saved_errno = errno;
  // Only a fault the kernel raised has an address; a SIGBUS sent by kill()
  // or raise() is never ours.
  const auto addr = info && info->si_code > 0 ? reinterpret_cast<std::uintptr_t>(info->si_addr) : 0;
  for (Slot& s : g_slots) {
    if (!addr) break;
    const std::uintptr_t b = s.begin.load(std::memory_order_acquire);
    if (!b || addr < b) continue;
    const std::uintptr_t e = s.end.load(std::memory_order_acquire);
    if (addr >= e) continue;
    // The file lost the pages from here on (it only shrinks from the end);
    // zeros stand in for them so the reader can finish and be told.
    const std::uintptr_t page = addr & ~(g_page - 1);
    void* r =
        ::mmap(reinterpret_cast<void*>(page), e - page, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0);
    if (r == MAP_FAILED) break;
    s.damaged.store(true, std::memory_order_release);
    errno = saved_errno;
    return;
  }
  errno = saved_errno;
  forward(sig, info, context);
}

// Called with g_mutex held.
void install_handler() {
  g_page = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
  struct sigaction sa {};
  sa.sa_sigaction = on_sigbus;
  sa.sa_flags = SA_SIGINFO | SA_RESTART | SA_NODEFER;
  sigemptyset(&sa.sa_mask);
  ::sigaction(SIGBUS, &sa, &g_previous);
}

// Called with g_mutex held. Leaves a handler someone installed after ours alone.
void remove_handler() {
  struct sigaction current {};
  if (::sigaction(SIGBUS, nullptr, &current) != 0) return;
  if ((current.sa_flags & SA_SIGINFO) && current.sa_sigaction == on_sigbus) ::sigaction(SIGBUS, &g_previous, nullptr);
}

int claim_slot(std::uintptr_t begin, std::uintptr_t end) {
  for (int i = 0; i < kSlots; ++i) {
    std::uintptr_t expected = 0;
    // Reserve with an impossible address first, so the handler never sees
    // a half-filled slot.
    if (g_slots[i].begin.compare_exchange_strong(expected, ~std::uintptr_t{0})) {
      g_slots[i].damaged.store(false);
      g_slots[i].end.store(end, std::memory_order_release);
      g_slots[i].begin.store(begin, std::memory_order_release);
      return i;
    }
  }
  return -1;
}

}  // namespace

std::shared_ptr<MappedFile> MappedFile::map(int fd, const std::string& path, std::uint64_t offset, std::size_t length) {
  if (length == 0) return nullptr;
  const auto page = static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
  const std::uint64_t start = offset / page * page;
  const auto lead = static_cast<std::size_t>(offset - start);
  if (length > SIZE_MAX - lead) return nullptr;
  const std::size_t map_length = lead + length;

  std::lock_guard lock(g_mutex);
  void* m = ::mmap(nullptr, map_length, PROT_READ, MAP_PRIVATE, fd, static_cast<off_t>(start));
  if (m == MAP_FAILED) return nullptr;
  const auto begin = reinterpret_cast<std::uintptr_t>(m);
  const std::uintptr_t end = begin + (map_length + page - 1) / page * page;
  if (g_live == 0) install_handler();
  const int slot = claim_slot(begin, end);
  if (slot < 0) {
    ::munmap(m, map_length);
    if (g_live == 0) remove_handler();
    return nullptr;
  }
  ++g_live;

  std::shared_ptr<MappedFile> f(new MappedFile());
  f->base_ = m;
  f->map_length_ = map_length;
  f->data_ = static_cast<const std::byte*>(m) + lead;
  f->length_ = length;
  f->slot_ = slot;
  f->fd_ = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
  f->file_offset_ = offset;
  f->path_ = path;
  g_mappings.insert(f.get());
  return f;
}

MappedFile::~MappedFile() {
  std::lock_guard lock(g_mutex);
  g_mappings.erase(this);
  Slot& s = g_slots[slot_];
  // Out of the handler's sight before the range can be reused.
  s.begin.store(0, std::memory_order_release);
  ::munmap(base_, map_length_);
  if (fd_ >= 0) ::close(fd_);
  if (--g_live == 0) remove_handler();
}

void MappedFile::advise_sequential() const { ::madvise(base_, map_length_, MADV_SEQUENTIAL); }

bool MappedFile::damaged() const { return g_slots[slot_].damaged.load(std::memory_order_acquire); }

void MappedFile::check() const {
  if (damaged())
    throw ReadError(fmt::format(
        "{} changed while it was being read: it became shorter or could not be read, so the data read from it "
        "are incomplete.",
        path_));
}

bool MappedFile::copy(std::size_t offset, std::byte* out, std::size_t n) const {
  if (offset > length_ || n > length_ - offset) return false;
  std::memcpy(out, data_ + offset, n);
  return !damaged();
}

bool MappedFile::read(std::size_t offset, std::byte* out, std::size_t n) const {
  if (offset > length_ || n > length_ - offset) return false;
  if (fd_ < 0) return copy(offset, out, n);
  std::size_t got = 0;
  while (got < n) {
    const ssize_t k = ::pread(fd_, out + got, n - got, static_cast<off_t>(file_offset_ + offset + got));
    if (k < 0 && errno == EINTR) continue;
    if (k <= 0) {
      // Shrunk under us, or unreadable: what the mapping would show.
      std::memset(out + got, 0, n - got);
      g_slots[slot_].damaged.store(true, std::memory_order_release);
      return false;
    }
    got += static_cast<std::size_t>(k);
  }
  return !damaged();
}

const std::byte* MappedFile::stage(const std::byte* p, std::size_t rows, std::size_t stride,
                                   std::size_t row_bytes) const {
  if (rows == 0 || p < data_ || p > data_ + length_) return nullptr;
  const auto offset = static_cast<std::size_t>(p - data_);
  const std::size_t room = length_ - offset;
  if (row_bytes > room || (rows > 1 && (stride == 0 || (rows - 1) > (room - row_bytes) / stride))) return nullptr;
  thread_local std::unique_ptr<std::byte[]> buffer;
  thread_local std::size_t capacity = 0;
  const std::size_t need = rows * row_bytes;
  if (capacity < need) {
    buffer.reset(new std::byte[need]);
    capacity = need;
  }
  if (stride == row_bytes) {
    read(offset, buffer.get(), need);
  } else {
    for (std::size_t r = 0; r < rows; ++r) read(offset + r * stride, buffer.get() + r * row_bytes, row_bytes);
  }
  return buffer.get();
}

const MappedFile* MappedFile::of(const std::shared_ptr<void>& storage) {
  std::lock_guard lock(g_mutex);
  return g_mappings.count(storage.get()) ? static_cast<const MappedFile*>(storage.get()) : nullptr;
}

void check_mapping_intact(const std::shared_ptr<void>& storage) {
  if (const MappedFile* f = MappedFile::of(storage)) f->check();
}

}  // namespace vexil::io
