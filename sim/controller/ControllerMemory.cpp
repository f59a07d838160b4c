#include "sim/controller/ControllerMemory.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <algorithm>
#include <stdexcept>

namespace tyvo::sim {

namespace {

// The controller answers challenges on the emulation's worker thread, which
// umockdev never joins. When that thread ends, its OpenSSL state is freed by
// the thread's own clean-up; OpenSSL's handler at process exit then freed it
// a second time (seen as a double free under AddressSanitizer when tyvo-sim
// ended). Without the exit handler each piece is freed once: the thread's
// state when the thread ends, the rest with the process. This must be the
// process's first call into OpenSSL, hence a static initialiser.
const bool kOpenSslWithoutExitHandler = OPENSSL_init_crypto(OPENSSL_INIT_NO_ATEXIT, nullptr) == 1;

}  // namespace

using namespace controller_memory;

ControllerMemory::ControllerMemory(ControllerKind kind) : m_kind(kind), m_memory(kSize, 0) {
    setBlankSalt({0xA7, 0x19});
    setSerial({});
    // An erased calibration area until one is loaded.
    std::fill(m_memory.begin() + kCalibration, m_memory.begin() + kCalibration + 156, 0xFF);
}

void ControllerMemory::setSerial(const std::string& serial) {
    std::fill(m_memory.begin(), m_memory.begin() + kSerialSize, 0);
    if (serial.empty()) {
        std::fill(m_memory.begin(), m_memory.begin() + kSerialSize, 0xFF);
        return;
    }
    std::copy_n(serial.begin(), std::min<std::size_t>(serial.size(), kSerialSize), m_memory.begin());
}

void ControllerMemory::setBlankSalt(std::array<uint8_t, 2> salt) {
    m_memory[kBlankSalt] = salt[0];
    m_memory[kBlankSalt + 1] = salt[1];
}

void ControllerMemory::setFirmwareVersion(int version) {
    if (m_kind == ControllerKind::Cypress) {
        m_memory[kVersion] = static_cast<uint8_t>(version & 0xFF);
        m_memory[kVersion + 1] = static_cast<uint8_t>((version >> 8) & 0xFF);
    } else {
        m_memory[kVersion] = static_cast<uint8_t>(version / 100);
        m_memory[kVersion + 1] = static_cast<uint8_t>(version % 100);
    }
}

int ControllerMemory::firmwareVersion() const {
    if (m_kind == ControllerKind::Cypress)
        return static_cast<int16_t>(m_memory[kVersion] | m_memory[kVersion + 1] << 8);
    return m_memory[kVersion] * 100 + m_memory[kVersion + 1];
}

void ControllerMemory::load(uint32_t address, const Bytes& bytes) {
    if (address > kSize || bytes.size() > kSize - address) throw std::out_of_range("controller memory");
    std::copy(bytes.begin(), bytes.end(), m_memory.begin() + address);
}

uint32_t ControllerMemory::word(uint32_t address) const {
    return static_cast<uint32_t>(m_memory[address]) | static_cast<uint32_t>(m_memory[address + 1]) << 8 |
           static_cast<uint32_t>(m_memory[address + 2]) << 16 | static_cast<uint32_t>(m_memory[address + 3]) << 24;
}

std::array<uint8_t, 20> ControllerMemory::digest() const {
    // The serial area, the salt, and the host's challenge. A blank Cypress
    // controller hashes its own bytes at 14 and 15 instead of the fixed
    // salt (its host reads them); the embedded controller's host never reads
    // them, so that controller always hashes the fixed salt.
    std::array<uint8_t, 20> message{};
    std::copy_n(m_memory.begin(), kSerialSize, message.begin());
    const bool blank = m_kind == ControllerKind::Cypress && m_memory[kSerial] == 0xFF;
    message[14] = blank ? m_memory[kBlankSalt] : kSalt[0];
    message[15] = blank ? m_memory[kBlankSalt + 1] : kSalt[1];
    std::copy_n(m_memory.begin() + kChallenge, 4, message.begin() + 16);
    std::array<uint8_t, 20> out{};
    unsigned length = 0;
    if (EVP_Digest(message.data(), message.size(), out.data(), &length, EVP_sha1(), nullptr) != 1 || length != 20)
        throw std::runtime_error("SHA-1 failed");
    return out;
}

uint8_t ControllerMemory::read(uint32_t address, Clock::time_point now) const {
    address &= kSize - 1;
    if (address >= kResponse && address < kResponse + 12) {
        const uint8_t byte = digest()[address - kResponse];
        return m_wrongAuthentication ? static_cast<uint8_t>(byte ^ 0x5A) : byte;
    }
    if (address == kMailbox && m_updateMode && !m_updateFinished && now >= m_readyAt) return kMailboxReady;
    return m_memory[address];
}

ControllerMemory::Effect ControllerMemory::write(uint32_t address, uint8_t value, Clock::time_point now) {
    address &= kSize - 1;
    m_memory[address] = value;
    // The mailbox acts once its last byte has arrived (codes go least
    // significant byte first).
    if (address != kMailbox + 3) return Effect::None;
    const uint32_t code = word(kMailbox);
    if (code == kStartCode && !m_updateMode) {
        m_updateMode = true;
        m_updateFinished = false;
        m_image.clear();
        m_readyAt = now + m_mailboxDelay;
        return Effect::UpdateStarted;
    }
    if (code == kFinishCode && m_updateMode && !m_updateFinished) {
        m_updateFinished = true;
        return Effect::UpdateFinished;
    }
    return Effect::None;
}

bool ControllerMemory::takeUpdateWord(uint16_t word, Clock::time_point now) {
    if (!m_updateMode || m_updateFinished || now < m_readyAt) return false;
    m_image.push_back(static_cast<uint8_t>(word & 0xFF));
    m_image.push_back(static_cast<uint8_t>(word >> 8));
    return true;
}

Bytes ControllerMemory::bytes(uint32_t address, std::size_t length) const {
    if (address > kSize || length > kSize - address) throw std::out_of_range("controller memory");
    return Bytes(m_memory.begin() + address, m_memory.begin() + address + static_cast<std::ptrdiff_t>(length));
}

std::string ControllerMemory::serialText() const {
    if (m_memory[kSerial] == 0xFF) return {};
    std::string text;
    for (uint32_t i = 0; i < kSerialSize && m_memory[i] != 0; ++i) text.push_back(static_cast<char>(m_memory[i]));
    return text;
}

bool ControllerMemory::hostAuthenticated() const {
    const std::array<uint8_t, 20> d = digest();
    if (!std::equal(d.begin() + 12, d.end(), m_memory.begin() + kDigestTail)) return false;
    const uint32_t head = static_cast<uint32_t>(d[0]) | static_cast<uint32_t>(d[1]) << 8 |
                          static_cast<uint32_t>(d[2]) << 16 | static_cast<uint32_t>(d[3]) << 24;
    return word(kMaskedHead) == (head ^ kHeadMask);
}

}  // namespace tyvo::sim
