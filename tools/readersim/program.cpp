// The program's actions: serving one reader (or a fleet, fleet_sim.cpp),
// writing an image, and the whole program around them.

#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

#include "tools/readersim/command_line.h"
#include "tools/readersim/fleet_sim.h"
#include "tools/readersim/simulator.h"

namespace modflash::sim {

std::vector<uint8_t> MakeImage(Version version, uint32_t seed) {
  std::vector<uint8_t> image(kFlashSize);
  uint32_t state = seed == 0 ? 0x9E3779B9u : seed;  // xorshift32, never 0
  for (uint8_t& b : image) {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    b = static_cast<uint8_t>(state >> 24);
  }
  image[kSignatureOffset] = 'X';
  image[kSignatureOffset + 1] = '3';
  image[kSignatureOffset + 2] = '0';
  image[kSignatureOffset + 3] = 'M';
  image[kPatchOffset] = version.patch;
  image[kMinorOffset] = version.minor;
  image[kMajorOffset] = version.major;
  return image;
}

bool WriteFileWhole(const std::string& path, const std::string& text) {
  const std::string partial = path + ".partial";
  std::ofstream out(partial, std::ios::binary | std::ios::trunc);
  out << text;
  out.close();
  if (!out) return false;
  // Windows renames onto no existing file.
  if (std::rename(partial.c_str(), path.c_str()) == 0) return true;
  std::remove(path.c_str());
  return std::rename(partial.c_str(), path.c_str()) == 0;
}

namespace {

int WriteImage(const CommandLine& line) {
  const std::vector<uint8_t> image =
      MakeImage(line.imageVersion, line.imageSeed);
  std::ofstream out(line.imagePath, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(image.data()),
            static_cast<std::streamsize>(image.size()));
  out.close();
  if (!out) {
    std::cout << "readersim: cannot write " << line.imagePath << "\n";
    return 1;
  }
  std::cout << "readersim: wrote " << line.imagePath << " (" << image.size()
            << " bytes, version " << int{line.imageVersion.major} << "."
            << int{line.imageVersion.minor} << "."
            << int{line.imageVersion.patch} << ")\n";
  return 0;
}

// Reads the --expect image into the options; false after a line on the
// standard error when it is no image.
bool LoadExpect(CommandLine& line) {
  if (line.expectPath.empty()) return true;
  std::ifstream in(line.expectPath, std::ios::binary);
  if (in) {
    line.options.expectImage.assign(std::istreambuf_iterator<char>(in),
                                    std::istreambuf_iterator<char>());
  }
  if (!in || line.options.expectImage.size() != kFlashSize) {
    std::cerr << "readersim: --expect " << line.expectPath
              << " is not a readable " << kFlashSize << "-byte image\n";
    return false;
  }
  return true;
}

int ServeOne(const CommandLine& line) {
  Simulator sim(line.options);
  if (!sim.Start()) return 1;
  if (!line.readyFile.empty() &&
      !WriteFileWhole(line.readyFile,
                      "127.0.0.1:" + std::to_string(sim.port()) + "\n")) {
    std::cout << "readersim: cannot write " << line.readyFile << "\n";
    sim.Stop();
    return 1;
  }
  sim.Wait();
  return 0;
}

}  // namespace

int RunReaderSim(const std::vector<std::string>& args) {
  CommandLine line;
  std::string error;
  if (!ParseCommandLine(args, line, error)) {
    std::cerr << "readersim: " << error << " (see readersim --help)\n";
    return 2;
  }
  if (line.action == CommandLine::Action::kHelp) {
    std::cout << HelpText();
    return 0;
  }
  if (line.action == CommandLine::Action::kMakeImage) return WriteImage(line);
  if (!LoadExpect(line)) return 2;
  // A ready file of an earlier run must not pass for this one's.
  if (!line.readyFile.empty()) std::remove(line.readyFile.c_str());
  return line.fleet.readers > 0 ? RunSimFleet(line) : ServeOne(line);
}

}  // namespace modflash::sim
