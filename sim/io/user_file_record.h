// The I/O manager's record of a file object opened for user-mode handles (user_files.h). Handles
// and requests in flight each hold a reference; the last one sends the close request.
#pragma once

#include <memory>
#include <string>

#include "sim/io/user_files.h"
#include "sim/kernel/object_manager.h"

namespace sim::io {

class UserFile final : public KernelObject {
public:
    UserFile(PDEVICE_OBJECT device, const std::u16string& fileName, bool synchronous, UserFile* related = nullptr);
    ~UserFile() override;

    void* Body() override { return &state_->file; }
    const char* TypeName() const override { return "File"; }

    PFILE_OBJECT File() { return &state_->file; }
    bool Synchronous() const { return synchronous_; }
    KEVENT* Event() { return &event_; }
    KEVENT* Lock() { return &lock_; }

    bool opened = false;
    LONG handles = 0;

private:
    // The file object and the name it points to; they go down with the close request.
    struct FileState {
        FILE_OBJECT file{};
        std::u16string name;
        UserFile* related = nullptr;  // counted until the close request has been sent
    };
    struct DeferredClose {
        WORK_QUEUE_ITEM item;
        std::unique_ptr<FileState> state;
    };
    static void RunDeferredClose(PVOID parameter);
    static void SendClose(std::unique_ptr<FileState> state);

    std::unique_ptr<FileState> state_;
    bool synchronous_;
    KEVENT event_;
    KEVENT lock_;
};

}  // namespace sim::io
