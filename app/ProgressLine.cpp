#include "app/ProgressLine.h"

#include <sys/ioctl.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

// Often enough to look live, seldom enough not to flood a slow terminal.
constexpr auto kRedrawInterval = std::chrono::milliseconds(100);

constexpr const char kClearLine[] = "\r\x1b[K";

}  // namespace

std::string DescribeProgress(const std::string& what, const ProgressMeter& meter) {
    std::string text = what + ": " + FormatByteCount(static_cast<double>(meter.done())) + " of " +
                       FormatByteCount(static_cast<double>(meter.total())) + ", " + std::to_string(meter.percent()) +
                       "%";
    if (const auto rate = meter.rate()) text += ", " + FormatByteCount(*rate) + "/s";
    if (const auto left = meter.remaining()) text += ", " + FormatDuration(*left) + " left";
    return text;
}

TerminalProgress::TerminalProgress(std::ostream& out, unsigned columns) : m_out(out), m_columns(columns) {}

TerminalProgress::~TerminalProgress() { end(); }

void TerminalProgress::begin(const std::string& what, uint64_t total) {
    m_meter.start(total, Clock::now());
    m_lastWhat.clear();
    draw(what);
}

void TerminalProgress::advance(const std::string& what, uint64_t done) {
    const auto now = Clock::now();
    m_meter.update(done, now);
    if (what != m_lastWhat || now - m_lastDraw >= kRedrawInterval || done >= m_meter.total()) draw(what);
}

void TerminalProgress::end() {
    std::lock_guard<std::mutex> consoleLock(ConsoleLock());
    if (!m_shown) return;
    hide();
    m_shown = false;
    SetConsoleOverlay(nullptr);
}

void TerminalProgress::draw(const std::string& what) {
    std::string text = DescribeProgress(what, m_meter);
    // The last column stays free: some terminals wrap on writing it.
    if (m_columns > 1 && text.size() > m_columns - 1) text.resize(m_columns - 1);
    {
        std::lock_guard<std::mutex> consoleLock(ConsoleLock());
        m_text = std::move(text);
        show();
        m_shown = true;
        SetConsoleOverlay(this);
    }
    m_lastWhat = what;
    m_lastDraw = Clock::now();
}

void TerminalProgress::hide() { m_out << kClearLine << std::flush; }

void TerminalProgress::show() { m_out << kClearLine << m_text << std::flush; }

void PlainProgress::begin(const std::string& what, uint64_t total) {
    m_meter.start(total, Clock::now());
    m_lastWhat.clear();
    m_lastTenth = -1;
    advance(what, 0);
}

void PlainProgress::advance(const std::string& what, uint64_t done) {
    m_meter.update(done, Clock::now());
    const int tenth = static_cast<int>(m_meter.percent() / 10);
    if (what == m_lastWhat && tenth == m_lastTenth) return;
    m_out << what << ": " << m_meter.percent() << "%" << std::endl;
    m_lastWhat = what;
    m_lastTenth = tenth;
}

unsigned TerminalColumns(int fd) {
    if (!isatty(fd)) return 0;
    winsize size{};
    if (ioctl(fd, TIOCGWINSZ, &size) != 0) return 0;
    return size.ws_col;
}
