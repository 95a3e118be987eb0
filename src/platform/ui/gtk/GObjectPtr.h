#pragma once

#include <glib-object.h>

#include <utility>

namespace platform::gtk {

// Owns one reference to a GObject. Adopting takes over a reference the caller already holds
// (a `*_new` result); `retain` adds one. Floating references (new GTK widgets) are sunk, so
// that the holder, and not the first container the widget is put in, decides its lifetime.
template <typename T>
class GObjectPtr {
 public:
  GObjectPtr() = default;
  static GObjectPtr adopt(T* object) {
    GObjectPtr p;
    if (object && g_object_is_floating(object)) g_object_ref_sink(object);
    p.object_ = object;
    return p;
  }
  static GObjectPtr retain(T* object) {
    GObjectPtr p;
    if (object) g_object_ref_sink(object);
    p.object_ = object;
    return p;
  }
  GObjectPtr(const GObjectPtr& other) : object_(other.object_) {
    if (object_) g_object_ref(object_);
  }
  GObjectPtr(GObjectPtr&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  GObjectPtr& operator=(GObjectPtr other) noexcept {
    std::swap(object_, other.object_);
    return *this;
  }
  ~GObjectPtr() { reset(); }

  void reset() {
    if (auto* o = std::exchange(object_, nullptr)) g_object_unref(o);
  }
  T* get() const { return object_; }
  T* operator->() const { return object_; }
  explicit operator bool() const { return object_ != nullptr; }

 private:
  T* object_ = nullptr;
};

// One signal handler connection, disconnected when the holder goes. It does not keep the
// instance alive; the owner must drop its connections before the instance it watches.
class SignalConnection {
 public:
  SignalConnection() = default;
  SignalConnection(gpointer instance, gulong id) : instance_(instance), id_(id) {}
  SignalConnection(const SignalConnection&) = delete;
  SignalConnection& operator=(const SignalConnection&) = delete;
  SignalConnection(SignalConnection&& other) noexcept
      : instance_(std::exchange(other.instance_, nullptr)), id_(std::exchange(other.id_, 0)) {}
  SignalConnection& operator=(SignalConnection&& other) noexcept {
    if (this != &other) {
      disconnect();
      instance_ = std::exchange(other.instance_, nullptr);
      id_ = std::exchange(other.id_, 0);
    }
    return *this;
  }
  ~SignalConnection() { disconnect(); }

  void disconnect() {
    if (instance_ && id_ && g_signal_handler_is_connected(instance_, id_)) g_signal_handler_disconnect(instance_, id_);
    instance_ = nullptr;
    id_ = 0;
  }

 private:
  gpointer instance_ = nullptr;
  gulong id_ = 0;
};

// Connects `callback` to `signal` of `instance` and answers the holder of the connection.
template <typename Callback>
SignalConnection connectSignal(gpointer instance, const char* signal, Callback callback, gpointer data) {
  return SignalConnection(instance, g_signal_connect(instance, signal, G_CALLBACK(callback), data));
}

}  // namespace platform::gtk
