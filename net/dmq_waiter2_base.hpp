#pragma once
// The waiter's resource table and its abstract wait interface.
//
// Slots 0 .. LastIndex hold the registered records in registration order, without holes; a
// record's address never changes while it is registered, so an event registration may carry it.
#include <cstdint>
#include <functional>
#include <vector>

#include "foundation/dmq_types.hpp"

namespace zel {

struct TWaiter2Resource;

// What an event registration carries: the record and the bits of that one filter.
struct TWaiter2Link {
    TWaiter2Resource* Resource;
    uint8_t Bits;
};

// One registered resource; zero-filled when created, owned by the waiter until it is freed.
struct TWaiter2Resource {
    void* Data;             // the owner's data
    int32_t Handle;         // the watched descriptor
    int32_t Index;          // current slot
    uint8_t Closing;        // set by the owner: no further events of this batch reach it
    uint8_t CurrentEvents;  // the bits last given to SetResourceEvents
    TWaiter2Link ReadLink;
    TWaiter2Link WriteLink;
    uint8_t ReadActive;
    uint8_t WriteActive;
    // The event queue's generation of the registration (0: none); deletes carry it, so that a
    // record whose descriptor was closed and reused elsewhere cannot remove the new owner's filters.
    uint32_t Generation;
};

// Event bits: 1 and 4 belong to the read filter, 2 and 8 to the write filter.
constexpr uint8_t WAITER_READ_BITS = 5;
constexpr uint8_t WAITER_WRITE_BITS = 10;
// Timeout value that waits without limit.
constexpr uint32_t WAITER_INFINITE = 0xFFFFFFFFu;

struct TWaiter2Event {
    TWaiter2Resource* Resource = nullptr;  // not set in the OnBeforeEvents call
    void* UserData = nullptr;
    int32_t Pass = 0;                      // counts down from Passes - 1 to 0
    int32_t Passes = 0;
    uint8_t Events = 0;                    // the bits of the filter that fired, as registered
};

using TWaiter2Callback = std::function<void(TWaiter2Event&)>;

struct TWaiter2WaitRequest {
    TWaiter2Callback OnBeforeEvents;  // once per wait that returned events, before any OnEvent
    TWaiter2Callback OnEvent;         // once per event and pass
    void* UserData = nullptr;
    uint32_t Timeout = WAITER_INFINITE;  // milliseconds
    int32_t Passes = 1;
};

class TWaiter2Base {
public:
    explicit TWaiter2Base(int32_t maxResources);
    virtual ~TWaiter2Base();
    TWaiter2Base(const TWaiter2Base&) = delete;
    TWaiter2Base& operator=(const TWaiter2Base&) = delete;

    // The new record in the next slot; it watches nothing until SetResourceEvents.
    TWaiter2Resource* AddResource(void* data, int32_t handle);
    void FreeResource(TWaiter2Resource* resource);
    void FreeResourceAt(int32_t index);

    virtual uint32_t GetResourceSize() const = 0;
    // 0, or the errno of a filter that could not be registered (ENOMEM, ENOSPC, EBADF, EPERM):
    // the resource is then not watched for it, and the owner must not wait for it to be served.
    [[nodiscard]] virtual int SetResourceEvents(TWaiter2Resource* resource, uint8_t bits) = 0;
    virtual TWaiterResult Wait(const TWaiter2WaitRequest& request) = 0;
    // An interruptible sleep for an owner that registers nothing but the wake-up pipe.
    TWaiterResult WaitForInterrupt(uint32_t timeout);
    // Any thread: ends the owner's current or next wait with wr_Interrupt.
    virtual void Interrupt() = 0;
    virtual void ClearInterrupt() = 0;

    uint32_t ResourceSize() const { return resourceSize_; }
    int32_t Limit() const { return limit_; }
    int32_t MaxResources() const { return maxResources_; }
    int32_t LastIndex() const { return lastIndex_; }
    int32_t LastError() const { return lastError_; }
    TWaiter2Resource* Resource(int32_t index) const { return resources_[size_t(index)]; }

protected:
    virtual void InitResource(TWaiter2Resource* /*resource*/) {}
    virtual void DoneResource(int32_t /*index*/) {}
    virtual void ResourceMoved(int32_t /*index*/) {}
    virtual void AfterFreeResource(int32_t /*index*/) {}

    uint32_t resourceSize_;
    int32_t limit_ = 0;
    int32_t maxResources_ = 0;
    int32_t lastIndex_ = -1;
    int32_t lastError_ = 0;
    std::vector<TWaiter2Resource*> resources_;
};

}  // namespace zel
