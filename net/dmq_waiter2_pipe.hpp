#pragma once
// The waiter's wake-up pipe: any thread writes one byte to end the owner's wait.
#include <atomic>
#include <cstdint>

#include "net/dmq_waiter2_base.hpp"

namespace zel {

class TWaiter2Pipe : public TWaiter2Base {
public:
    explicit TWaiter2Pipe(int32_t maxResources);
    ~TWaiter2Pipe() override;

    // Any thread. Many calls before one drain make one wake-up, and write one byte: the pipe is
    // written only by the call that finds no wake-up pending.
    void Interrupt() override;
    void ClearInterrupt() override;

    int32_t PipeRead() const { return pipeRead_; }
    int32_t PipeWrite() const { return pipeWrite_; }
    TWaiter2Resource* PipeResource() const { return pipeResource_; }
    int64_t PipeIdent() const { return pipeIdent_; }

protected:
    void ClosePipe();

    int32_t pipeRead_ = -1;
    int32_t pipeWrite_ = -1;
    TWaiter2Resource* pipeResource_ = nullptr;
    int64_t pipeIdent_ = -1;
    // Set by the Interrupt that writes the byte, cleared once the owner has drained the pipe.
    std::atomic<bool> wakePending_{false};
};

}  // namespace zel
