// Serves one simulated HID reader (any plat::hidsim::IDeviceSide) on a local
// Unix socket, for the simulator-socket backend of the tool to find and open.
//
// One thread, one poll() loop: it accepts clients, answers their handshake,
// opens and feature requests, passes output reports to the device side and
// delivers the device side's input reports to the client that holds the
// device exclusively, each no earlier than the time the device side asks for.
// Opens lock like a hidraw node: one exclusive holder or any number of
// feature-only clients; anything else is answered "busy". Every call into the
// device side comes from the server's thread.
//
// Messages: docs/HID_SIM_PROTOCOL.md.
#pragma once
#include <atomic>
#include <string>
#include <thread>

#include "platform/hid_sim_protocol.h"

namespace plat {

class HidSimServer {
 public:
  explicit HidSimServer(hidsim::IDeviceSide& device);
  ~HidSimServer();
  HidSimServer(const HidSimServer&) = delete;
  HidSimServer& operator=(const HidSimServer&) = delete;

  // Creates the socket at `path` and starts serving. A stale socket left by a
  // server that died is replaced; a live one, or any other file, is not.
  bool Start(const std::string& path, std::string* error = nullptr);
  // Closes every connection, ends the thread and removes the socket. Safe to
  // call more than once.
  void Stop();
  // Makes the server ask the device side for input reports now; for device
  // sides that queue reports from another thread. Thread-safe.
  void Wake();
  // Drops every client, as unplugging the reader would. Thread-safe.
  void DisconnectClients();

  const std::string& Path() const { return m_path; }
  bool Running() const { return m_thread.joinable(); }

 private:
  void Run();

  hidsim::IDeviceSide& m_device;
  std::string m_path;
  int m_listenFd = -1;
  int m_wakeFd = -1;
  std::atomic<bool> m_quit{false};
  std::atomic<bool> m_dropClients{false};
  std::thread m_thread;
};

}  // namespace plat
