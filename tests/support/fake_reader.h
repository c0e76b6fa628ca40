#ifndef MODFLASH_TESTS_SUPPORT_FAKE_READER_H_
#define MODFLASH_TESTS_SUPPORT_FAKE_READER_H_

// A scripted stand-in for the network reader: a TCP server on 127.0.0.1,
// on a free port below 16536, serving one connection on its own thread.
// It records every byte it receives and answers from a script.
//
//   FakeReaderScript script;
//   script.AwaitMessage().Reply(ReaderMessage(0x39, {3}))  // baud answer
//         .AwaitMessage().ReplyBytewise(ReaderMessage(0xFA, frame))
//         .AwaitMessage();                                 // then silence
//   FakeReader reader(script);
//   EthernetUpdateComm link("127.0.0.1", reader.port());
//   ...
//   link.Disconnect();
//   std::vector<uint8_t> sent = reader.Finish();  // all bytes received
//
// Steps run in order. After the last step the reader keeps reading until
// the client closes its side, then closes the connection (a graceful
// close), unless the script ended with CloseConnection(). Every wait is
// bounded (kGuardMs); a script that could not complete is reported by
// completed(). Destroying the reader stops the script at once.

#include <atomic>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "net/loopback_server.h"

namespace modflash::testing {

/// A reader message of `type` around `payload` (link/reader_framing.h).
std::vector<uint8_t> ReaderMessage(uint8_t type,
                                   const std::vector<uint8_t>& payload);

/// What the fake reader does, step by step.
class FakeReaderScript {
 public:
  /// Waits until `count` more bytes have arrived (counted from where the
  /// previous wait ended).
  FakeReaderScript& AwaitBytes(size_t count);
  /// Waits until the next whole reader message has arrived (its length is
  /// taken from its header).
  FakeReaderScript& AwaitMessage();
  /// Sends `bytes` in one write.
  FakeReaderScript& Reply(std::vector<uint8_t> bytes);
  /// Sends `bytes` one byte per write, `gapMs` apart.
  FakeReaderScript& ReplyBytewise(std::vector<uint8_t> bytes, int gapMs = 2);
  /// Does nothing for `ms` (bytes arriving meanwhile are recorded later).
  FakeReaderScript& Pause(int ms);
  /// Keeps the connection open for `ms`, recording what arrives, even when
  /// the client has closed its side.
  FakeReaderScript& HoldOpen(int ms);
  /// Closes the connection at once; ends the script.
  FakeReaderScript& CloseConnection();

 private:
  friend class FakeReader;
  enum class Kind { kAwaitBytes, kAwaitMessage, kReply, kPause, kHold, kClose };
  struct Step {
    explicit Step(Kind k) : kind(k) {}
    Kind kind;
    size_t count = 0;
    std::vector<uint8_t> bytes;
    int gapMs = -1;  // -1: one write
    int ms = 0;
  };
  std::vector<Step> steps_;
};

/// The server side. Listens from construction; accepts one connection and
/// runs the script on its own thread.
class FakeReader {
 public:
  /// Upper bound of every wait inside the script, in milliseconds.
  static constexpr int kGuardMs = 30000;

  explicit FakeReader(FakeReaderScript script);
  /// Stops the script and joins the thread.
  ~FakeReader();
  FakeReader(const FakeReader&) = delete;
  FakeReader& operator=(const FakeReader&) = delete;

  /// The port to connect to (0 when no port could be bound).
  uint16_t port() const { return port_; }
  /// Waits for the script to end and the connection to close; every byte
  /// received.
  std::vector<uint8_t> Finish();
  /// The bytes received up to now.
  std::vector<uint8_t> Received() const;
  /// True when every step ran (valid after Finish).
  bool completed() const { return completed_; }

 private:
  void Run();
  /// Reads what is there (waiting at most `waitMs`); false once the client
  /// closed or the connection failed.
  bool ReadSome(int waitMs);
  /// Reads until `ready()` holds; false on close, failure, stop or guard.
  template <typename Ready>
  bool ReadUntil(Ready ready);
  size_t ReceivedSize() const;

  net::SocketLayerSession session_;
  FakeReaderScript script_;
  uint16_t port_ = 0;
  net::SocketHandle listener_ = net::kInvalidSocket;
  net::SocketHandle connection_ = net::kInvalidSocket;
  mutable std::mutex mutex_;
  std::vector<uint8_t> received_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> completed_{false};
  std::thread thread_;
};

}  // namespace modflash::testing

#endif  // MODFLASH_TESTS_SUPPORT_FAKE_READER_H_
