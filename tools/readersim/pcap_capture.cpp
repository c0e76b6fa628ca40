#include "tools/readersim/pcap_capture.h"

#include <algorithm>

namespace modflash::sim {
namespace {

constexpr uint32_t kPcapMagic = 0xA1B2C3D4;  // microsecond stamps
constexpr uint32_t kSnapLength = 65535;
constexpr uint32_t kLinkTypeEthernet = 1;
constexpr uint16_t kEtherTypeIpv4 = 0x0800;
constexpr uint8_t kProtocolTcp = 6;
constexpr uint8_t kTimeToLive = 64;
constexpr uint16_t kWindow = 65535;

void PutLe32(std::vector<uint8_t>& out, uint32_t value) {
  for (int shift = 0; shift < 32; shift += 8) {
    out.push_back(static_cast<uint8_t>((value >> shift) & 0xFF));
  }
}

void PutLe16(std::vector<uint8_t>& out, uint16_t value) {
  out.push_back(static_cast<uint8_t>(value & 0xFF));
  out.push_back(static_cast<uint8_t>(value >> 8));
}

void PutBe16(std::vector<uint8_t>& out, uint16_t value) {
  out.push_back(static_cast<uint8_t>(value >> 8));
  out.push_back(static_cast<uint8_t>(value & 0xFF));
}

void PutBe32(std::vector<uint8_t>& out, uint32_t value) {
  PutBe16(out, static_cast<uint16_t>(value >> 16));
  PutBe16(out, static_cast<uint16_t>(value & 0xFFFF));
}

void SetBe16(std::vector<uint8_t>& out, size_t at, uint16_t value) {
  out[at] = static_cast<uint8_t>(value >> 8);
  out[at + 1] = static_cast<uint8_t>(value & 0xFF);
}

// A locally administered MAC address made from the end's port, so that the
// two ends of a loopback connection differ.
void PutMac(std::vector<uint8_t>& out, const TcpEndpoint& end) {
  out.push_back(0x02);
  out.push_back(0x00);
  out.push_back(0x00);
  out.push_back(0x00);
  PutBe16(out, end.port);
}

// The ones' complement sum of big-endian 16-bit words, not yet folded.
uint32_t AddWords(uint32_t sum, const uint8_t* data, size_t length) {
  for (size_t i = 0; i + 1 < length; i += 2) {
    sum += static_cast<uint32_t>(data[i] << 8 | data[i + 1]);
  }
  if (length % 2 != 0) sum += static_cast<uint32_t>(data[length - 1] << 8);
  return sum;
}

uint16_t FoldComplement(uint32_t sum) {
  while (sum > 0xFFFF) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<uint16_t>(~sum & 0xFFFF);
}

}  // namespace

bool PcapFile::Open(const std::string& path) {
  std::lock_guard<std::mutex> lock(mutex_);
  out_.open(path, std::ios::binary | std::ios::trunc);
  if (!out_) return false;
  std::vector<uint8_t> header;
  PutLe32(header, kPcapMagic);
  PutLe16(header, 2);  // version 2.4
  PutLe16(header, 4);
  PutLe32(header, 0);  // time zone offset
  PutLe32(header, 0);  // stamp accuracy
  PutLe32(header, kSnapLength);
  PutLe32(header, kLinkTypeEthernet);
  out_.write(reinterpret_cast<const char*>(header.data()),
             static_cast<std::streamsize>(header.size()));
  out_.flush();
  return static_cast<bool>(out_);
}

bool PcapFile::Write(WallClock::time_point when,
                     const std::vector<uint8_t>& frame) {
  const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(
                          when.time_since_epoch())
                          .count();
  std::vector<uint8_t> record;
  PutLe32(record, static_cast<uint32_t>(micros / 1000000));
  PutLe32(record, static_cast<uint32_t>(micros % 1000000));
  PutLe32(record, static_cast<uint32_t>(frame.size()));
  PutLe32(record, static_cast<uint32_t>(frame.size()));
  record.insert(record.end(), frame.begin(), frame.end());
  std::lock_guard<std::mutex> lock(mutex_);
  if (!out_) return false;
  out_.write(reinterpret_cast<const char*>(record.data()),
             static_cast<std::streamsize>(record.size()));
  out_.flush();
  return static_cast<bool>(out_);
}

std::vector<uint8_t> BuildTcpFrame(const TcpEndpoint& from,
                                   const TcpEndpoint& to, uint32_t seq,
                                   uint32_t ack, uint8_t flags, uint16_t ipId,
                                   const uint8_t* data, size_t length) {
  length = std::min(length, kMaxSegment);
  std::vector<uint8_t> frame;
  frame.reserve(kEthernetHeader + kIpv4Header + kTcpHeader + length);
  PutMac(frame, to);
  PutMac(frame, from);
  PutBe16(frame, kEtherTypeIpv4);

  const size_t ip = frame.size();
  PutBe16(frame, 0x4500);  // version 4, 5 header words; no DSCP
  PutBe16(frame, static_cast<uint16_t>(kIpv4Header + kTcpHeader + length));
  PutBe16(frame, ipId);
  PutBe16(frame, 0x4000);  // don't fragment
  frame.push_back(kTimeToLive);
  frame.push_back(kProtocolTcp);
  PutBe16(frame, 0);  // header checksum, below
  PutBe32(frame, from.address);
  PutBe32(frame, to.address);
  SetBe16(frame, ip + 10, FoldComplement(AddWords(0, &frame[ip], kIpv4Header)));

  const size_t tcp = frame.size();
  PutBe16(frame, from.port);
  PutBe16(frame, to.port);
  PutBe32(frame, seq);
  PutBe32(frame, ack);
  frame.push_back(static_cast<uint8_t>((kTcpHeader / 4) << 4));
  frame.push_back(flags);
  PutBe16(frame, kWindow);
  PutBe16(frame, 0);  // checksum, below
  PutBe16(frame, 0);  // urgent pointer
  if (length > 0) frame.insert(frame.end(), data, data + length);

  // The TCP checksum covers a pseudo-header of both addresses, the protocol
  // and the segment length, then the segment.
  const size_t segment = kTcpHeader + length;
  uint32_t sum = AddWords(0, &frame[ip + 12], 8);
  sum += kProtocolTcp;
  sum += static_cast<uint32_t>(segment);
  sum = AddWords(sum, &frame[tcp], segment);
  SetBe16(frame, tcp + 16, FoldComplement(sum));
  return frame;
}

TcpCapture::TcpCapture(PcapFile& file, TcpEndpoint client, TcpEndpoint server,
                       uint32_t number)
    : file_(file),
      client_(client),
      server_(server),
      clientSeq_(0x10000000u + number * 0x01000000u),
      serverSeq_(0x80000000u + number * 0x01000000u) {}

void TcpCapture::Segment(WallClock::time_point when, bool fromClient,
                         uint8_t flags, const uint8_t* data, size_t length) {
  uint32_t& seq = fromClient ? clientSeq_ : serverSeq_;
  const uint32_t ack =
      (flags & kTcpAck) != 0 ? (fromClient ? serverSeq_ : clientSeq_) : 0;
  file_.Write(when, BuildTcpFrame(fromClient ? client_ : server_,
                                  fromClient ? server_ : client_, seq, ack,
                                  flags, ipId_++, data, length));
  // SYN and FIN take one sequence number each.
  seq += static_cast<uint32_t>(length);
  if ((flags & (kTcpSyn | kTcpFin)) != 0) ++seq;
}

void TcpCapture::Opened(WallClock::time_point when) {
  Segment(when, true, kTcpSyn, nullptr, 0);
  Segment(when, false, kTcpSyn | kTcpAck, nullptr, 0);
  Segment(when, true, kTcpAck, nullptr, 0);
}

void TcpCapture::FromClient(WallClock::time_point when, const uint8_t* data,
                            size_t length) {
  for (size_t done = 0; done < length && !closed_;) {
    const size_t part = std::min(length - done, kMaxSegment);
    Segment(when, true, kTcpPush | kTcpAck, data + done, part);
    done += part;
  }
}

void TcpCapture::FromServer(WallClock::time_point when, const uint8_t* data,
                            size_t length) {
  for (size_t done = 0; done < length && !closed_;) {
    const size_t part = std::min(length - done, kMaxSegment);
    Segment(when, false, kTcpPush | kTcpAck, data + done, part);
    done += part;
  }
}

void TcpCapture::ClientClosed(WallClock::time_point when) {
  if (closed_) return;
  Segment(when, true, kTcpFin | kTcpAck, nullptr, 0);
  Segment(when, false, kTcpFin | kTcpAck, nullptr, 0);
  Segment(when, true, kTcpAck, nullptr, 0);
  closed_ = true;
}

void TcpCapture::ServerClosed(WallClock::time_point when) {
  if (closed_) return;
  Segment(when, false, kTcpFin | kTcpAck, nullptr, 0);
  closed_ = true;
}

}  // namespace modflash::sim
