#pragma once

// For tests of files this user may not read or write: root passes over permission bits, so while
// one of these is alive the calling thread gives up that privilege (the rest of the process keeps
// it), and file permissions hold for it as for anybody. Capabilities belong to a thread, so the
// code under test must run on the thread that made it.

#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace quillmere::testing {

class PermissionsHold {
public:
    PermissionsHold() {
        __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
        if (::syscall(SYS_capget, &header, saved_) != 0)
            return;
        __user_cap_data_struct reduced[2] = {saved_[0], saved_[1]};
        reduced[0].effective &=
            ~((1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH) | (1u << CAP_FOWNER));
        changed_ = ::syscall(SYS_capset, &header, reduced) == 0;
    }
    ~PermissionsHold() {
        if (!changed_)
            return;
        __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
        ::syscall(SYS_capset, &header, saved_);
    }
    // Whether permission bits hold for this thread now (false only where the privilege could not be
    // given up).
    bool holds() const { return changed_ || ::geteuid() != 0; }

    PermissionsHold(const PermissionsHold&) = delete;
    PermissionsHold& operator=(const PermissionsHold&) = delete;

private:
    __user_cap_data_struct saved_[2]{};
    bool changed_ = false;
};

} // namespace quillmere::testing
