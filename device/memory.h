// Device memory: allocation, copies and synchronisation behind one interface.
// On the CPU backend "device" and "managed" memory are ordinary aligned host
// memory and copies are memcpy; under CUDA they are the runtime's.
#pragma once

#include <cstddef>
#include <utility>

namespace lumenar::device {

enum class MemoryKind { Device, Managed, Host };

// Returns nullptr and prints a message naming the size on failure.
void* allocateBytes(std::size_t bytes, MemoryKind kind);
void freeBytes(void* p, MemoryKind kind);

// Returns false (after printing a message) when the copy failed.
bool copyToDevice(void* dst, const void* src, std::size_t bytes);
bool copyToHost(void* dst, const void* src, std::size_t bytes);
bool copyOnDevice(void* dst, const void* src, std::size_t bytes);
bool fillBytes(void* dst, int value, std::size_t bytes);

// Waits for all launched work; reports and returns false on a device error.
bool synchronize();
// Checks the last launch; prints "Kernel launch failed: <reason>" on failure.
bool checkLaunch();
// Releases every device resource of the process (end of the run).
bool resetDevice();
// The reason of the last failure these functions reported ("" if none).
const char* lastErrorText();

const char* backendName();

template <class T>
T* allocate(std::size_t count, MemoryKind kind = MemoryKind::Device) {
    return static_cast<T*>(allocateBytes(count * sizeof(T), kind));
}

// Owning handle of one device array.
template <class T>
class Buffer {
 public:
    Buffer() = default;
    explicit Buffer(std::size_t count, MemoryKind kind = MemoryKind::Device)
        : data_(allocate<T>(count, kind)), count_(data_ ? count : 0), kind_(kind) {}
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    Buffer(Buffer&& o) noexcept { swap(o); }
    Buffer& operator=(Buffer&& o) noexcept {
        if (this != &o) {
            reset();
            swap(o);
        }
        return *this;
    }
    ~Buffer() { reset(); }

    void reset() {
        if (data_) freeBytes(data_, kind_);
        data_ = nullptr;
        count_ = 0;
    }
    // Gives up ownership.
    T* release() {
        T* p = data_;
        data_ = nullptr;
        count_ = 0;
        return p;
    }
    bool upload(const T* host, std::size_t count) {
        return count <= count_ && copyToDevice(data_, host, count * sizeof(T));
    }
    bool download(T* host, std::size_t count) const {
        return count <= count_ && copyToHost(host, data_, count * sizeof(T));
    }

    T* get() const { return data_; }
    std::size_t size() const { return count_; }
    std::size_t bytes() const { return count_ * sizeof(T); }
    explicit operator bool() const { return data_ != nullptr; }

 private:
    void swap(Buffer& o) noexcept {
        std::swap(data_, o.data_);
        std::swap(count_, o.count_);
        std::swap(kind_, o.kind_);
    }
    T* data_ = nullptr;
    std::size_t count_ = 0;
    MemoryKind kind_ = MemoryKind::Device;
};

// Uploads a host array into a new device array; empty handle on failure or
// when count is 0.
template <class T>
Buffer<T> uploadArray(const T* host, std::size_t count, MemoryKind kind = MemoryKind::Device) {
    if (count == 0) return {};
    Buffer<T> b(count, kind);
    if (!b || !b.upload(host, count)) return {};
    return b;
}

}  // namespace lumenar::device
