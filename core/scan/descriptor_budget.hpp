// How many folder descriptors one walk may hold at once: the soft limit on
// open files less those the process already holds and a reserve. A job that
// would go over waits for another to close one, instead of failing with
// EMFILE. Folders kept open for their subfolders never take the last two,
// so a job opening a folder (with two descriptors at once when it reopens
// it name by name) always gets them once the folders being listed are done:
// the walk never waits on itself. Every member is safe to call from any
// worker at once.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <utility>

#include "core/base/fd.hpp"

namespace bramwex::core {

class DescriptorBudget {
  public:
    explicit DescriptorBudget(int64_t capacity);
    // From the soft open-file limit in force now and the descriptors open now.
    static int64_t from_limit();

    // Takes count descriptors, waiting while fewer are free.
    void take(int64_t count);
    void give(int64_t count);

    // Whether one more folder may stay open for its subfolders; end_keep
    // when it closes.
    bool try_keep();
    void end_keep();

    // After an open failed for want of descriptors (the process or the
    // system is out of them): waits until this walk closes one, or briefly.
    void wait_for_release();

  private:
    const int64_t capacity_;
    std::atomic<int64_t> free_;
    std::atomic<int64_t> kept_{0};
    std::atomic<uint32_t> waiters_{0};
    std::mutex mutex_;
    uint64_t releases_ = 0;  // under mutex_; counted only while someone waits
    std::condition_variable released_;
};

// A folder descriptor counted against a budget (none: not counted), which
// it gives back when closed.
class BudgetedFd {
  public:
    BudgetedFd() = default;
    // Takes over fd and one descriptor already taken from budget.
    BudgetedFd(int fd, DescriptorBudget* budget) : fd_(fd), budget_(budget) {}
    BudgetedFd(BudgetedFd&& other) noexcept
        : fd_(std::move(other.fd_)),
          budget_(std::exchange(other.budget_, nullptr)),
          kept_(std::exchange(other.kept_, false)) {}
    BudgetedFd& operator=(BudgetedFd&& other) noexcept {
        if (this != &other) {
            reset();
            fd_ = std::move(other.fd_);
            budget_ = std::exchange(other.budget_, nullptr);
            kept_ = std::exchange(other.kept_, false);
        }
        return *this;
    }
    ~BudgetedFd() { reset(); }

    int get() const { return fd_.get(); }
    bool counted() const { return budget_ != nullptr; }

    // Whether the budget lets the folder stay open for its subfolders.
    bool keep() { return kept_ = budget_ == nullptr || budget_->try_keep(); }

    void reset() {
        if (!fd_) {
            return;
        }
        fd_.reset();
        if (budget_ != nullptr) {
            if (kept_) {
                budget_->end_keep();
            }
            budget_->give(1);
        }
        budget_ = nullptr;
        kept_ = false;
    }

  private:
    UniqueFd fd_;
    DescriptorBudget* budget_ = nullptr;
    bool kept_ = false;
};

}  // namespace bramwex::core
