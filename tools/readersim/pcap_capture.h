#ifndef MODFLASH_TOOLS_READERSIM_PCAP_CAPTURE_H_
#define MODFLASH_TOOLS_READERSIM_PCAP_CAPTURE_H_

// Captures of the simulator's connections as a classic libpcap file, so that
// Wireshark and tshark can read them without a capture driver: every TCP
// payload in both directions goes out as an Ethernet/IPv4/TCP frame whose
// headers are made up here, with consistent sequence and acknowledgement
// numbers, the real addresses and ports, and the time of the send or
// receive.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

namespace modflash::sim {

using WallClock = std::chrono::system_clock;

/// TCP flag bits.
inline constexpr uint8_t kTcpFin = 0x01;
inline constexpr uint8_t kTcpSyn = 0x02;
inline constexpr uint8_t kTcpPush = 0x08;
inline constexpr uint8_t kTcpAck = 0x10;
/// Header sizes of a synthesised frame.
inline constexpr size_t kEthernetHeader = 14;
inline constexpr size_t kIpv4Header = 20;
inline constexpr size_t kTcpHeader = 20;
/// The most TCP payload one synthesised frame carries.
inline constexpr size_t kMaxSegment = 65495;

/// One end of a TCP connection: IPv4 address in host order, and port.
struct TcpEndpoint {
  uint32_t address = 0x7F000001;
  uint16_t port = 0;
};

/// A classic libpcap file (microsecond stamps, link type Ethernet). Safe to
/// share between threads.
class PcapFile {
 public:
  /// Creates or truncates `path` and writes the file header; false when the
  /// file cannot be written.
  bool Open(const std::string& path);
  bool is_open() const { return out_.is_open(); }
  /// Appends one frame, flushed at once so that a simulator stopped at any
  /// moment leaves a readable file; false once writing has failed.
  bool Write(WallClock::time_point when, const std::vector<uint8_t>& frame);

 private:
  std::mutex mutex_;
  std::ofstream out_;
};

/// One Ethernet frame carrying an IPv4 TCP segment, with both checksums.
std::vector<uint8_t> BuildTcpFrame(const TcpEndpoint& from,
                                   const TcpEndpoint& to, uint32_t seq,
                                   uint32_t ack, uint8_t flags, uint16_t ipId,
                                   const uint8_t* data, size_t length);

/// One connection written to a PcapFile as the wire would have shown it:
/// the handshake, every payload as it was sent or received, and the close.
class TcpCapture {
 public:
  /// `number` (the connection's, from 1) picks the initial sequence numbers.
  TcpCapture(PcapFile& file, TcpEndpoint client, TcpEndpoint server,
             uint32_t number);

  /// SYN, SYN-ACK and ACK.
  void Opened(WallClock::time_point when);
  /// Payload bytes, split into segments of at most kMaxSegment.
  void FromClient(WallClock::time_point when, const uint8_t* data,
                  size_t length);
  void FromServer(WallClock::time_point when, const uint8_t* data,
                  size_t length);
  /// The client closed first: its FIN, the server's FIN-ACK, the last ACK.
  void ClientClosed(WallClock::time_point when);
  /// The server closed first: its FIN (what the client did next is not
  /// seen).
  void ServerClosed(WallClock::time_point when);

 private:
  void Segment(WallClock::time_point when, bool fromClient, uint8_t flags,
               const uint8_t* data, size_t length);

  PcapFile& file_;
  TcpEndpoint client_;
  TcpEndpoint server_;
  uint32_t clientSeq_;  ///< the client's next sequence number
  uint32_t serverSeq_;  ///< the server's next sequence number
  uint16_t ipId_ = 1;
  bool closed_ = false;
};

}  // namespace modflash::sim

#endif  // MODFLASH_TOOLS_READERSIM_PCAP_CAPTURE_H_
