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

InstallLock::~InstallLock() = default;

}  // namespace velmora
