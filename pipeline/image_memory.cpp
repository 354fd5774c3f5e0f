#include "pipeline/image_memory.hpp"

#include <malloc.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <mutex>
#include <new>
#include <opencv2/core.hpp>
#include <vector>

namespace {

std::size_t pageRounded(std::size_t bytes) {
  const std::size_t page = std::size_t(::sysconf(_SC_PAGESIZE));
  return (bytes + page - 1) / page * page;
}

// A mapping of `bytes` whose start is aligned to a huge page, so that all of it can be backed by
// huge pages; nullptr when the system has no memory for it.
void* mapAligned(std::size_t bytes) {
  const std::size_t length = pageRounded(bytes), padded = length + kHugePageBytes;
  void* mapped =
      ::mmap(nullptr, padded, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapped == MAP_FAILED) return nullptr;
  const auto begin = reinterpret_cast<std::uintptr_t>(mapped);
  const std::uintptr_t aligned = (begin + kHugePageBytes - 1) & ~(kHugePageBytes - 1);
  if (aligned > begin) ::munmap(mapped, aligned - begin);
  const std::uintptr_t end = begin + padded, used = aligned + length;
  if (end > used) ::munmap(reinterpret_cast<void*>(used), end - used);
  // Advice only: without huge pages the mapping works as any other.
  ::madvise(reinterpret_cast<void*>(aligned), length, MADV_HUGEPAGE);
  return reinterpret_cast<void*>(aligned);
}

// Freed mappings shorter than kKeepBelow wait here, up to kKeepTotal bytes in all, for the next
// image of their length: the window-sized pictures of every preview come and go at one size, and
// a mapping used again is neither faulted in nor cleared again. Photo-sized ones are unmapped.
constexpr std::size_t kKeepBelow = std::size_t(16) << 20, kKeepTotal = std::size_t(64) << 20;

class KeptMappings {
 public:
  void* take(std::size_t length) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = kept_.begin(); it != kept_.end(); ++it) {
      if (it->first != length) continue;
      void* mapping = it->second;
      bytes_ -= length;
      kept_.erase(it);
      return mapping;
    }
    return nullptr;
  }
  // Whether it keeps `mapping`; if not, the caller unmaps it. The oldest kept are unmapped to make
  // room, so that mappings of a size no longer asked for (the window's before a resize) leave.
  bool keep(void* mapping, std::size_t length) {
    if (length >= kKeepBelow) return false;
    std::lock_guard<std::mutex> lock(mutex_);
    while (!kept_.empty() && bytes_ + length > kKeepTotal) {
      ::munmap(kept_.front().second, kept_.front().first);
      bytes_ -= kept_.front().first;
      kept_.erase(kept_.begin());
    }
    kept_.emplace_back(length, mapping);
    bytes_ += length;
    return true;
  }
  void release() {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& [length, mapping] : kept_) ::munmap(mapping, length);
    kept_.clear();
    bytes_ = 0;
  }

 private:
  std::mutex mutex_;
  std::vector<std::pair<std::size_t, void*>> kept_;
  std::size_t bytes_ = 0;
};

class HugePageAllocator : public cv::MatAllocator {
 public:
  cv::UMatData* allocate(int dims, const int* sizes, int type, void* data, size_t* step,
                         cv::AccessFlag flags, cv::UMatUsageFlags usage) const override {
    // Rows packed, as the library's own allocator lays them out. Steps a caller gave with its own
    // memory are left for the library's allocator to read.
    std::size_t total = CV_ELEM_SIZE(type);
    for (int i = dims - 1; i >= 0; --i) {
      if (step && !data) step[i] = total;
      total *= std::size_t(sizes[i]);
    }
    if (data || total < kHugePageBytes)
      return cv::Mat::getStdAllocator()->allocate(dims, sizes, type, data, step, flags, usage);
    void* mapped = kept_.take(pageRounded(total));
    if (!mapped) mapped = mapAligned(total);
    if (!mapped) throw std::bad_alloc();
    cv::UMatData* owner = new cv::UMatData(this);
    owner->data = owner->origdata = static_cast<uchar*>(mapped);
    owner->size = total;
    return owner;
  }
  bool allocate(cv::UMatData* data, cv::AccessFlag flags, cv::UMatUsageFlags usage) const override {
    return cv::Mat::getStdAllocator()->allocate(data, flags, usage);
  }
  void deallocate(cv::UMatData* data) const override {
    if (!data) return;
    const std::size_t length = pageRounded(data->size);
    if (!kept_.keep(data->origdata, length)) ::munmap(data->origdata, length);
    delete data;
  }
  void releaseKept() { kept_.release(); }

 private:
  mutable KeptMappings kept_;
};

HugePageAllocator* installed = nullptr;

}  // namespace

void useHugePagesForLargeImages() {
  // Never destroyed: images released during the program's exit still come back to it.
  if (!installed) installed = new HugePageAllocator;
  cv::Mat::setDefaultAllocator(installed);
}

void releaseKeptImageMemory() {
  if (installed) installed->releaseKept();
  ::malloc_trim(0);
}
