#include "net/dmq_waiter2_base.hpp"

#include <algorithm>
#include <cstdlib>
#include <new>

namespace zel {

TWaiter2Base::TWaiter2Base(int32_t maxResources)
    // A constructor cannot ask a derived class: the record size is the plain record's until the
    // implementing class sets its own.
    : resourceSize_(sizeof(TWaiter2Resource)) {
    if (limit_ == 0) limit_ = 1000000;
    maxResources_ = std::clamp(maxResources, int32_t(0), limit_);
    resources_.assign(size_t(maxResources_) + 1, nullptr);
    lastIndex_ = -1;
}

TWaiter2Base::~TWaiter2Base() {
    // Released without DoneResource: the event queue is already closed.
    for (size_t i = resources_.size(); i-- > 0;) {
        std::free(resources_[i]);
        resources_[i] = nullptr;
    }
    lastIndex_ = -1;
}

TWaiter2Resource* TWaiter2Base::AddResource(void* data, int32_t handle) {
    int32_t index = lastIndex_ + 1;
    if (index > maxResources_) throw EWaiterNoFreeResources("No free wait resources");
    void* mem = std::calloc(1, std::max<size_t>(resourceSize_, sizeof(TWaiter2Resource)));
    if (!mem) throw std::bad_alloc();
    auto* r = new (mem) TWaiter2Resource{};
    r->Data = data;
    r->Handle = handle;
    r->Index = index;
    InitResource(r);
    resources_[size_t(index)] = r;
    lastIndex_ = index;
    return r;
}

void TWaiter2Base::FreeResource(TWaiter2Resource* resource) {
    if (resource) FreeResourceAt(resource->Index);
}

void TWaiter2Base::FreeResourceAt(int32_t index) {
    if (index < 0 || index > lastIndex_) return;
    DoneResource(index);
    std::free(resources_[size_t(index)]);
    for (int32_t i = index; i < lastIndex_; ++i) {
        TWaiter2Resource* r = resources_[size_t(i) + 1];
        resources_[size_t(i)] = r;
        r->Index = i;
        ResourceMoved(i);
    }
    int32_t freed = lastIndex_;
    resources_[size_t(freed)] = nullptr;
    --lastIndex_;
    AfterFreeResource(freed);
}

TWaiterResult TWaiter2Base::WaitForInterrupt(uint32_t timeout) {
    if (lastIndex_ > 0) throw EWaiterTooManyResources("Too many resources");
    TWaiter2WaitRequest req;
    req.Timeout = timeout;
    req.Passes = 1;
    return Wait(req);
}

}  // namespace zel
