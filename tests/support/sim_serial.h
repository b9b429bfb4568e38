// A simulated reader on a fake serial port: every write the host makes goes
// through the reader's serial front, and the front's answers are scheduled as
// arrivals at the times the front gives them (answer delay and, with a baud
// rate, wire time), all in virtual time.
//
//   FakeSerial serial;
//   ReaderModel reader;
//   SimSerialLink link(serial.AddPort("COM1"), reader);
//   g_Rs232Port.Open("\\\\.\\COM1/baud=9600/parity=N/stop=1/data=8");
#pragma once
#include <cstdint>

#include "sim/model/reader_model.h"
#include "sim/model/serial_front.h"
#include "support/fake_serial.h"

class SimSerialLink {
 public:
  SimSerialLink(FakeSerialPort& port, ReaderModel& model, std::uint32_t nBaud = 0);
  ~SimSerialLink();
  SimSerialLink(const SimSerialLink&) = delete;
  SimSerialLink& operator=(const SimSerialLink&) = delete;

  SerialFront& Front() { return m_front; }

 private:
  FakeSerialPort& m_port;
  SerialFront m_front;
};
