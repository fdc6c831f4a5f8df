// Memory for batch results, straight from the system, and the cache that
// keeps it between batches for a short while.
#pragma once

#include <cstddef>
#include <utility>

namespace gelvo {

// Anonymous pages, handed back to the system as soon as they are freed (a
// heap allocator may keep freed blocks resident for the life of the
// process).
class Pages {
 public:
  Pages() noexcept = default;
  // At least `size` bytes (rounded up to whole pages; at least one page).
  // Throws std::bad_alloc when the system refuses.
  static Pages allocate(std::size_t size);

  Pages(Pages&& other) noexcept : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)) {}
  Pages& operator=(Pages&& other) noexcept {
    Pages old(std::move(*this));
    data_ = std::exchange(other.data_, nullptr);
    size_ = std::exchange(other.size_, 0);
    return *this;
  }
  Pages(const Pages&) = delete;
  Pages& operator=(const Pages&) = delete;
  ~Pages();

  char* data() const noexcept { return data_; }
  std::size_t size() const noexcept { return size_; }
  explicit operator bool() const noexcept { return data_ != nullptr; }

 private:
  Pages(char* data, std::size_t size) noexcept : data_(data), size_(size) {}
  char* data_ = nullptr;
  std::size_t size_ = 0;
};

// Pages of finished batches, kept for the next ones: fresh pages cost a
// fault per page written, more than the copy into them. Bounded three ways:
// - at most kKeptBytes are kept;
// - a request takes kept pages only when they are at most twice its size,
//   so a small result that lives on pins memory of its own size, not that
//   of an earlier, larger batch;
// - everything kept goes back to the system kIdle after the cache was last
//   used, from a thread of its own, so a process that stops fetching comes
//   back to its size without calling gelvo again.
// Safe to use from any thread; survives fork() (the child starts empty-handed
// of the thread and makes its own when it needs one).
class PageCache {
 public:
  static constexpr std::size_t kKeptBytes = std::size_t{256} << 20;
  static constexpr int kIdleMilliseconds = 500;

  static PageCache& instance();

  // Pages of at least `size` bytes, kept or fresh. Throws std::bad_alloc.
  Pages take(std::size_t size);
  // Keeps pages for a later take(), or frees them.
  void give_back(Pages pages) noexcept;
  // Bytes kept now.
  std::size_t kept_bytes() const noexcept;
};

}  // namespace gelvo
