#include "install/install_lock.h"

#include <iostream>

#include "platform/platform.h"

namespace velmora {

struct InstallLock::Impl {
  platform::FileLock lock;
  explicit Impl(const std::filesystem::path& file) : lock(file) {}
};

InstallLock::InstallLock(const std::filesystem::path& root) {
  std::filesystem::create_directories(root);
  impl_ = std::make_unique<Impl>(root / "install.lock");
  if (!impl_->lock.tryLock()) {
    std::cerr << "waiting for another Velmora start to finish installing" << std::endl;
    impl_->lock.lock();
  }
}

std::unique_ptr<InstallLock> InstallLock::tryTake(const std::filesystem::path& root) {
  std::unique_ptr<InstallLock> taken(new InstallLock());
  taken->impl_ = std::make_unique<Impl>(root / "install.lock");
  if (!taken->impl_->lock.tryLock()) taken.reset();
  return taken;
}

InstallLock::~InstallLock() = default;

}  // namespace velmora
