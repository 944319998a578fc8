// The floor of a round trip: a peer that takes one frame (a 4-byte big-endian length
// and that many bytes) from the Unix-domain socket it was handed as fd 3 and writes
// back a frame whose body its first argument gives in hexadecimal, with no other work
// in between. Ends when the socket does.
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr int kSocket = 3;

bool readExactly(char* out, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::read(kSocket, out, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    out += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

bool writeAll(const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(kSocket, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s REPLY-BODY-IN-HEX (serves fd 3)\n", argc > 0 ? argv[0] : "echo_peer");
    return 2;
  }
  const std::string hex = argv[1];
  std::string body;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    body.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  }
  const auto length = static_cast<std::uint32_t>(body.size());
  std::string reply{static_cast<char>(length >> 24), static_cast<char>(length >> 16), static_cast<char>(length >> 8),
                    static_cast<char>(length)};
  reply += body;

  unsigned char header[4];
  std::vector<char> request;
  while (readExactly(reinterpret_cast<char*>(header), sizeof header)) {
    const std::uint32_t size = (std::uint32_t{header[0]} << 24) | (std::uint32_t{header[1]} << 16) |
                               (std::uint32_t{header[2]} << 8) | std::uint32_t{header[3]};
    request.resize(size);
    if (!readExactly(request.data(), size) || !writeAll(reply)) break;
  }
  return 0;
}
