#pragma once
// The waiter over kqueue (our own layer over epoll where the system has no kqueue).
#include <cstdint>
#include <vector>

#include "net/dmq_kqueue.hpp"
#include "net/dmq_waiter2_pipe.hpp"

namespace zel {

// The longest wait with a limit: 23 hours 59 minutes 50 seconds.
constexpr uint32_t WAITER_MAX_TIMEOUT = 86390000u;

class TWaiter2Bsd : public TWaiter2Pipe {
public:
    explicit TWaiter2Bsd(int32_t maxResources);
    ~TWaiter2Bsd() override;

    uint32_t GetResourceSize() const override { return 64; }
    [[nodiscard]] int SetResourceEvents(TWaiter2Resource* resource, uint8_t bits) override;
    TWaiterResult Wait(const TWaiter2WaitRequest& request) override;

    int32_t KQueue() const { return kq_.Handle(); }

protected:
    void InitResource(TWaiter2Resource* resource) override;
    void DoneResource(int32_t index) override;

private:
    // One filter of the record: registered with its link and bits, or deleted; 0 or errno.
    int AddFilter(TWaiter2Resource* r, bool read, uint8_t bits);
    void DeleteFilter(TWaiter2Resource* r, bool read);

    std::vector<TKEvent> events_;
    TKQueue kq_;
};

}  // namespace zel
