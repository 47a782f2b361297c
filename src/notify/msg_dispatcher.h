// Delivers a message to every window of one of two sets: the library's own
// windows (set 0: the device-change window and the callback window) and the
// client windows (set 1: the host window given at initialisation).
#pragma once

#include <cstdint>
#include <vector>

#include "platform/window.h"

namespace eklv {

inline constexpr std::uint32_t kLibraryWindows = 0;
inline constexpr std::uint32_t kClientWindows = 1;

// A set of window handles hashed as the framework's map hashes them: 17
// buckets, bucket (handle >> 4) % 17, new entries at the head of their
// bucket; iteration runs bucket by bucket, which is the delivery order.
class WindowSet {
public:
    bool Contains(pf::Hwnd hwnd) const;
    void Add(pf::Hwnd hwnd);  // no-op when present
    bool Empty() const { return size_ == 0; }
    std::vector<pf::Hwnd> Members() const;

private:
    static constexpr std::size_t kBuckets = 17;
    std::vector<pf::Hwnd> buckets_[kBuckets];
    std::size_t size_ = 0;
};

class CKLVMsgDispatcher {
public:
    virtual ~CKLVMsgDispatcher();

    // 0, or 1 when the dispatcher cannot be created or the window is 65535.
    // Window 0 means no client window.
    static std::uint32_t Initialize(pf::Hwnd client_window);
    static std::uint32_t UnInitialize();
    // The dispatcher, created on first call; null when creation fails.
    static CKLVMsgDispatcher* GetInstance();
    // The dispatcher or null, without creating it.
    static CKLVMsgDispatcher* PeekInstance();

    // 0, or 1 for a window value of 0 or 65535.
    std::uint32_t AddClientWindow(pf::Hwnd hwnd, std::uint32_t index);

    // b non-zero sends (waits for the answer), zero posts; i non-zero picks
    // the library windows, zero the client windows. True when every delivery
    // succeeded (also when the set is empty and the message was dropped).
    // delivered, when given, receives the windows that took the message, so
    // that a sender of an owned payload knows whether a receiver has it.
    static bool DispatchMessage(std::uint32_t message, pf::WParam wparam, pf::LParam lparam, std::uint32_t b,
                                std::uint32_t i, std::vector<pf::Hwnd>* delivered = nullptr);
    static bool PostToWindows(std::uint32_t message, pf::WParam wparam, pf::LParam lparam, std::uint32_t i) {
        return DispatchMessage(message, wparam, lparam, 0, i);
    }
    static bool SendToWindows(std::uint32_t message, pf::WParam wparam, pf::LParam lparam, std::uint32_t i) {
        return DispatchMessage(message, wparam, lparam, 1, i);
    }

    bool DispatchCommonSend(std::uint32_t message, pf::WParam wparam, pf::LParam lparam, std::uint32_t b,
                            std::uint32_t index, std::vector<pf::Hwnd>* delivered = nullptr);

    std::vector<pf::Hwnd> WindowsOf(std::uint32_t index);

private:
    CKLVMsgDispatcher() = default;
    WindowSet sets_[2];
};

}  // namespace eklv
