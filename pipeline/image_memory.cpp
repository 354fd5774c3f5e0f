#include "pipeline/image_memory.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <new>
#include <opencv2/core.hpp>

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

class HugePageAllocator : public cv::MatAllocator {
 public:
  cv::UMatData* allocate(int dims, const int* sizes, int type, void* data, size_t* step,
                         cv::AccessFlag flags, cv::UMatUsageFlags usage) const override {
    // The bytes the library would take: rows packed, as its own allocator lays them out.
    std::size_t total = CV_ELEM_SIZE(type);
    for (int i = dims - 1; i >= 0; --i) total *= std::size_t(sizes[i]);
    if (data || total < kHugePageBytes)
      return cv::Mat::getStdAllocator()->allocate(dims, sizes, type, data, step, flags, usage);
    void* mapped = mapAligned(total);
    if (!mapped) throw std::bad_alloc();
    std::size_t stride = CV_ELEM_SIZE(type);
    for (int i = dims - 1; i >= 0; --i) {
      if (step) step[i] = stride;
      stride *= std::size_t(sizes[i]);
    }
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
    ::munmap(data->origdata, pageRounded(data->size));
    delete data;
  }
};

}  // namespace

void useHugePagesForLargeImages() {
  static HugePageAllocator allocator;
  cv::Mat::setDefaultAllocator(&allocator);
}
