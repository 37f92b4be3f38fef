// Scoped owners for Win32 handles, and scope_exit.
//
// Each owner is non-copyable and movable. Handles that are invalid as NULL
// (threads, events, processes, pipes, mappings) and handles that are invalid
// as INVALID_HANDLE_VALUE (files from CreateFileW, FindFirstFileW) are
// different types, so a failed CreateFileW is never mistaken for a live
// handle and a NULL thread handle is never passed to CloseHandle.
#pragma once

#include <utility>

#ifdef _WIN32
#include <windows.h>
#include <winhttp.h>
#endif

namespace vx {

// Runs a callable when the scope ends, unless released.
template <typename F>
class scope_exit {
 public:
  explicit scope_exit(F f) : f_(std::move(f)) {}
  scope_exit(scope_exit&& other) noexcept : f_(std::move(other.f_)), active_(other.active_) {
    other.active_ = false;
  }
  scope_exit(const scope_exit&) = delete;
  scope_exit& operator=(const scope_exit&) = delete;
  scope_exit& operator=(scope_exit&&) = delete;
  ~scope_exit() {
    if (active_) f_();
  }
  void release() { active_ = false; }

 private:
  F f_;
  bool active_ = true;
};

template <typename F>
scope_exit<F> make_scope_exit(F f) {
  return scope_exit<F>(std::move(f));
}

#ifdef _WIN32

// Generic owner: Traits gives the handle type, its invalid value and close().
template <typename Traits>
class UniqueResource {
 public:
  using handle_type = typename Traits::handle_type;

  UniqueResource() = default;
  explicit UniqueResource(handle_type h) : h_(h) {}
  UniqueResource(const UniqueResource&) = delete;
  UniqueResource& operator=(const UniqueResource&) = delete;
  UniqueResource(UniqueResource&& other) noexcept : h_(other.release()) {}
  UniqueResource& operator=(UniqueResource&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  ~UniqueResource() { reset(); }

  handle_type get() const { return h_; }
  bool valid() const { return h_ != Traits::invalid(); }
  explicit operator bool() const { return valid(); }

  // Gives up ownership without closing.
  handle_type release() {
    handle_type h = h_;
    h_ = Traits::invalid();
    return h;
  }

  // Closes the current handle (if any) and takes the new one.
  void reset(handle_type h = Traits::invalid()) {
    if (h_ != Traits::invalid()) Traits::close(h_);
    h_ = h;
  }

  // For out-parameters: closes the current handle and returns its address.
  handle_type* put() {
    reset();
    return &h_;
  }

 private:
  handle_type h_ = Traits::invalid();
};

struct NullHandleTraits {
  using handle_type = HANDLE;
  static HANDLE invalid() { return nullptr; }
  static void close(HANDLE h) { ::CloseHandle(h); }
};

struct FileHandleTraits {
  using handle_type = HANDLE;
  static HANDLE invalid() { return INVALID_HANDLE_VALUE; }
  static void close(HANDLE h) { ::CloseHandle(h); }
};

struct FindHandleTraits {
  using handle_type = HANDLE;
  static HANDLE invalid() { return INVALID_HANDLE_VALUE; }
  static void close(HANDLE h) { ::FindClose(h); }
};

struct HKeyTraits {
  using handle_type = HKEY;
  static HKEY invalid() { return nullptr; }
  static void close(HKEY h) { ::RegCloseKey(h); }
};

struct HInternetTraits {
  using handle_type = HINTERNET;
  static HINTERNET invalid() { return nullptr; }
  static void close(HINTERNET h) { ::WinHttpCloseHandle(h); }
};

// Threads, events, processes, pipe ends: NULL means no handle.
using UniqueNullHandle = UniqueResource<NullHandleTraits>;
// Files opened with CreateFileW: INVALID_HANDLE_VALUE means no handle.
using UniqueHandle = UniqueResource<FileHandleTraits>;
using UniqueFindHandle = UniqueResource<FindHandleTraits>;
using UniqueHKey = UniqueResource<HKeyTraits>;
using UniqueHInternet = UniqueResource<HInternetTraits>;

// PROCESS_INFORMATION whose process and thread handles are closed together.
class ProcessInfo {
 public:
  ProcessInfo() = default;
  ProcessInfo(const ProcessInfo&) = delete;
  ProcessInfo& operator=(const ProcessInfo&) = delete;
  ProcessInfo(ProcessInfo&& other) noexcept : pi_(other.pi_) { other.pi_ = {}; }
  ProcessInfo& operator=(ProcessInfo&& other) noexcept {
    if (this != &other) {
      reset();
      pi_ = other.pi_;
      other.pi_ = {};
    }
    return *this;
  }
  ~ProcessInfo() { reset(); }

  // For CreateProcessW: closes what is held and returns the structure.
  PROCESS_INFORMATION* put() {
    reset();
    return &pi_;
  }
  const PROCESS_INFORMATION& get() const { return pi_; }

  void reset() {
    if (pi_.hThread) ::CloseHandle(pi_.hThread);
    if (pi_.hProcess) ::CloseHandle(pi_.hProcess);
    pi_ = {};
  }

 private:
  PROCESS_INFORMATION pi_{};
};

#endif  // _WIN32

}  // namespace vx
