#include "sim/kernel/object_manager.h"

namespace sim {

namespace {
constexpr uintptr_t kKernelHandleBit = uintptr_t(1) << 63;
}

ObjectManager::~ObjectManager()
{
    for (auto& [value, object] : handles_) {
        (void)value;
        Release(object);
    }
}

void ObjectManager::Register(KernelObject* object)
{
    std::lock_guard<std::mutex> guard(lock_);
    bodies_[object->Body()] = object;
}

long ObjectManager::Release(KernelObject* object)
{
    long left = --object->references_;
    if (left == 0) {
        {
            std::lock_guard<std::mutex> guard(lock_);
            auto found = bodies_.find(object->Body());
            if (found != bodies_.end() && found->second == object) {
                bodies_.erase(found);
            }
        }
        delete object;
    }
    return left;
}

KernelObject* ObjectManager::FromBody(void* body)
{
    std::lock_guard<std::mutex> guard(lock_);
    auto found = bodies_.find(body);
    return found == bodies_.end() ? nullptr : found->second;
}

long ObjectManager::ReferenceBody(void* body)
{
    KernelObject* object = FromBody(body);
    return object == nullptr ? -1 : object->AddRef();
}

long ObjectManager::DereferenceBody(void* body)
{
    KernelObject* object = FromBody(body);
    return object == nullptr ? -1 : Release(object);
}

HANDLE ObjectManager::CreateHandle(KernelObject* object)
{
    object->AddRef();
    std::lock_guard<std::mutex> guard(lock_);
    uintptr_t value = nextHandle_;
    nextHandle_ += 4;
    handles_[value] = object;
    return reinterpret_cast<HANDLE>(value | kKernelHandleBit);
}

KernelObject* ObjectManager::ReferenceByHandle(HANDLE handle)
{
    std::lock_guard<std::mutex> guard(lock_);
    auto found = handles_.find(reinterpret_cast<uintptr_t>(handle) & ~kKernelHandleBit);
    if (found == handles_.end()) {
        return nullptr;
    }
    found->second->AddRef();
    return found->second;
}

NTSTATUS ObjectManager::CloseHandle(HANDLE handle)
{
    KernelObject* object = nullptr;
    {
        std::lock_guard<std::mutex> guard(lock_);
        auto found = handles_.find(reinterpret_cast<uintptr_t>(handle) & ~kKernelHandleBit);
        if (found == handles_.end()) {
            return STATUS_INVALID_HANDLE;
        }
        object = found->second;
        handles_.erase(found);
    }
    Release(object);
    return STATUS_SUCCESS;
}

size_t ObjectManager::OpenHandleCount() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return handles_.size();
}

std::vector<std::string> ObjectManager::OpenHandleDescriptions() const
{
    std::lock_guard<std::mutex> guard(lock_);
    std::vector<std::string> descriptions;
    for (const auto& [value, object] : handles_) {
        descriptions.push_back(std::string(object->TypeName()) + " handle " + std::to_string(value));
    }
    return descriptions;
}

}  // namespace sim
