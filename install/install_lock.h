#pragma once

#include <filesystem>
#include <memory>

namespace velmora {

// Holds the install root's lock for its lifetime, so that two starts never
// install into the versions folder at once. Waits (without spinning) for a
// start that holds it, saying so once on standard error.
class InstallLock {
 public:
  explicit InstallLock(const std::filesystem::path& root);
  // The lock if no other start holds it, else nothing; never waits.
  static std::unique_ptr<InstallLock> tryTake(const std::filesystem::path& root);
  ~InstallLock();
  InstallLock(const InstallLock&) = delete;
  InstallLock& operator=(const InstallLock&) = delete;

 private:
  InstallLock() = default;
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace velmora
