// A minimal component base: an optional owner that destroys what it owns, a name, and the
// loading / designing / destroying states. "Stored properties loaded" is the application
// calling BeginLoading, assigning the properties, then Loaded.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

namespace zentu {

enum TComponentStateFlag : uint8_t { csLoading = 1, csDesigning = 2, csDestroying = 4 };

class TComponent {
public:
    explicit TComponent(TComponent* owner = nullptr) : owner_(owner) {
        if (owner_) owner_->owned_.push_back(this);
    }
    virtual ~TComponent() {
        state_ |= csDestroying;
        // Owned components go first, newest first, each leaving our list as it goes.
        while (!owned_.empty()) delete owned_.back();
        if (owner_) {
            auto& list = owner_->owned_;
            list.erase(std::remove(list.begin(), list.end(), this), list.end());
        }
    }
    TComponent(const TComponent&) = delete;
    TComponent& operator=(const TComponent&) = delete;

    TComponent* Owner() const { return owner_; }
    const std::vector<TComponent*>& Components() const { return owned_; }
    const std::string& Name() const { return name_; }
    void SetName(const std::string& name) { name_ = name; }

    uint8_t ComponentState() const { return state_; }
    bool Loading() const { return (state_ & csLoading) != 0; }
    bool Designing() const { return (state_ & csDesigning) != 0; }
    bool Destroying() const { return (state_ & csDestroying) != 0; }
    void SetDesigning(bool on) { state_ = on ? (state_ | csDesigning) : (state_ & ~csDesigning); }

    // The stored properties are about to be assigned.
    void BeginLoading() { state_ |= csLoading; }
    // The stored properties have been assigned; overrides call this first.
    virtual void Loaded() { state_ &= ~csLoading; }

protected:
    // Marks the component as going away; a derived destructor calls this before it tears
    // down, so that events are no longer raised.
    void BeginDestroying() { state_ |= csDestroying; }

private:
    TComponent* owner_;
    std::vector<TComponent*> owned_;
    std::string name_;
    uint8_t state_ = 0;
};

}  // namespace zentu
