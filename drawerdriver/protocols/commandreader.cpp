// The command tables of ESC/POS and of Star line mode, as their command
// references give them: a fixed number of parameters for most commands, a
// length field or a terminator for images, barcodes and function groups. A
// command missing here is unknown, and the reader is lost rather than guess.
#include "protocols/commandreader.h"

#include <algorithm>
#include <span>

namespace drawerdriver {

namespace {

constexpr std::uint8_t NUL = 0x00, SOH = 0x01, EOT = 0x04, ENQ = 0x05, ACK = 0x06, BEL = 0x07,
                       HT = 0x09, LF = 0x0A, VT = 0x0B, FF = 0x0C, CR = 0x0D, SO = 0x0E, DLE = 0x10,
                       DC4 = 0x14, CAN = 0x18, SUB = 0x1A, ESC = 0x1B, FS = 0x1C, GS = 0x1D,
                       RS = 0x1E;

// What the bytes of a command read so far call for.
struct Step {
    enum Kind { More, Skip, Until, Groups, Lost } kind = More;
    std::uint64_t count = 0; // Skip: data bytes; Until: at most this many; Groups: how many
    std::uint8_t terminator = 0; // Until
    std::uint8_t groupHeadSize = 0; // Groups: the header of each
    std::uint64_t groupUnit = 0; // Groups: data bytes per unit of the header's value
};

Step more()
{
    return {};
}
Step skip(std::uint64_t count)
{
    return {Step::Skip, count};
}
Step done()
{
    return skip(0);
}
Step lost()
{
    return {Step::Lost};
}
// Data up to a terminator, which a runaway would never reach.
Step until(std::uint8_t terminator, std::uint64_t most = 256)
{
    return {Step::Until, most, terminator};
}
Step groups(std::uint64_t count, std::uint8_t headSize, std::uint64_t unit)
{
    return {Step::Groups, count, 0, headSize, unit};
}

bool oneOf(std::uint8_t byte, std::initializer_list<std::uint8_t> set)
{
    return std::find(set.begin(), set.end(), byte) != set.end();
}

std::uint64_t word(const std::uint8_t *bytes)
{
    return bytes[0] + bytes[1] * 256u;
}

// Commands of a fixed length: prefix, code, and the parameters that follow.
struct Fixed {
    std::uint8_t prefix;
    std::uint8_t code;
    std::uint8_t parameters;
};

constexpr Fixed EscPosFixed[]
    = {{ESC, FF, 0}, {ESC, ' ', 1}, {ESC, '!', 1}, {ESC, '$', 2}, {ESC, '%', 1}, {ESC, '-', 1},
        {ESC, '2', 0}, {ESC, '3', 1}, {ESC, '<', 0}, {ESC, '=', 1}, {ESC, '?', 1}, {ESC, '@', 0},
        {ESC, 'E', 1}, {ESC, 'G', 1}, {ESC, 'J', 1}, {ESC, 'K', 1}, {ESC, 'L', 0}, {ESC, 'M', 1},
        {ESC, 'R', 1}, {ESC, 'S', 0}, {ESC, 'T', 1}, {ESC, 'U', 1}, {ESC, 'V', 1}, {ESC, 'W', 8},
        {ESC, '\\', 2}, {ESC, 'a', 1}, {ESC, 'c', 2}, {ESC, 'd', 1}, {ESC, 'e', 1}, {ESC, 'f', 2},
        {ESC, 'i', 0}, {ESC, 'm', 0}, {ESC, 'p', 3}, {ESC, 'r', 1}, {ESC, 't', 1}, {ESC, 'u', 1},
        {ESC, 'v', 0}, {ESC, '{', 1}, {GS, '!', 1}, {GS, '$', 2}, {GS, '/', 1}, {GS, ':', 0},
        {GS, 'B', 1}, {GS, 'E', 1}, {GS, 'H', 1}, {GS, 'I', 1}, {GS, 'L', 2}, {GS, 'P', 2},
        {GS, 'T', 1}, {GS, 'W', 2}, {GS, '\\', 2}, {GS, '^', 3}, {GS, 'a', 1}, {GS, 'b', 1},
        {GS, 'c', 0}, {GS, 'f', 1}, {GS, 'g', 4}, {GS, 'h', 1}, {GS, 'j', 1}, {GS, 'r', 1},
        {GS, 'w', 1}, {GS, 'z', 3}, {FS, '!', 1}, {FS, '&', 0}, {FS, '-', 1}, {FS, '.', 0},
        {FS, '?', 2}, {FS, 'C', 1}, {FS, 'S', 2}, {FS, 'W', 1}, {FS, 'p', 2}, {DLE, ENQ, 1}};

constexpr Fixed StarFixed[]
    = {{ESC, '@', 0}, {ESC, 'E', 0}, {ESC, 'F', 0}, {ESC, '4', 0}, {ESC, '5', 0}, {ESC, '0', 0},
        {ESC, '1', 0}, {ESC, 'M', 0}, {ESC, 'P', 0}, {ESC, ':', 0}, {ESC, SO, 0}, {ESC, DC4, 0},
        {ESC, 'O', 0}, {ESC, '-', 1}, {ESC, '_', 1}, {ESC, 'W', 1}, {ESC, 'h', 1}, {ESC, 'd', 1},
        {ESC, 'a', 1}, {ESC, 'J', 1}, {ESC, 'j', 1}, {ESC, 'z', 1}, {ESC, '3', 1}, {ESC, 'R', 1},
        {ESC, 'l', 1}, {ESC, 'Q', 1}, {ESC, 'N', 1}, {ESC, BEL, 2}, {ESC, 'i', 2}};

template<std::size_t N>
Step fixed(const Fixed (&table)[N], const std::uint8_t *head, std::size_t size)
{
    const auto *entry = std::find_if(std::begin(table), std::end(table),
        [&](const Fixed &f) { return f.prefix == head[0] && f.code == head[1]; });
    if (entry == std::end(table))
        return lost();
    return size < 2u + entry->parameters ? more() : done();
}

// ESC/POS function groups, GS ( x pL pH, whose length field counts all that
// follows it.
Step functionGroup(const std::uint8_t *head, std::size_t size)
{
    return size < 5 ? more() : skip(word(head + 3));
}

Step escPos(const std::uint8_t *head, std::size_t size)
{
    const std::uint8_t first = head[0];
    if (first >= 0x20 || oneOf(first, {HT, LF, FF, CR, CAN}))
        return done();
    if (!oneOf(first, {ESC, GS, FS, DLE}))
        return lost();
    if (size < 2)
        return more();
    const std::uint8_t code = head[1];
    if (first == DLE && code == EOT) { // n = 1..4; 7 and 8 take one more byte
        if (size < 3)
            return more();
        if (head[2] >= 1 && head[2] <= 4)
            return done();
        if (head[2] == 7 || head[2] == 8)
            return size < 4 ? more() : done();
        return lost();
    }
    if (first == DLE && code == DC4) { // by function: pulse, power off, buzzer, status, clear
        if (size < 3)
            return more();
        static constexpr std::uint8_t parameters[] = {0, 2, 2, 5, 0, 0, 0, 1, 7};
        const std::uint8_t fn = head[2];
        if (fn >= std::size(parameters) || parameters[fn] == 0)
            return lost();
        return size < 3u + parameters[fn] ? more() : done();
    }
    if ((first == ESC || first == GS || first == FS) && code == '(')
        return functionGroup(head, size);
    if (first == ESC && code == '*') { // ESC * m nL nH: 8-dot or 24-dot columns
        if (size < 3)
            return more();
        const bool columns24 = head[2] == 32 || head[2] == 33;
        if (!columns24 && head[2] != 0 && head[2] != 1)
            return lost();
        return size < 5 ? more() : skip(word(head + 3) * (columns24 ? 3 : 1));
    }
    if (first == ESC && code == '&') { // ESC & y c1 c2, then x and y·x bytes per character
        if (size < 5)
            return more();
        if (head[4] < head[3])
            return lost();
        return groups(head[4] - head[3] + 1u, 1, head[2]);
    }
    if (first == ESC && code == 'D') // tab positions, at most 32, up to NUL
        return until(NUL, 33);
    if (first == GS && code == 'v') { // GS v 0 m xL xH yL yH: raster, xL+xH·256 bytes a row
        if (size < 3)
            return more();
        if (head[2] != '0')
            return lost();
        return size < 8 ? more() : skip(word(head + 4) * word(head + 6));
    }
    if (first == GS && code == '*') // GS * x y: x·8 columns of y·8 dots
        return size < 4 ? more() : skip(std::uint64_t(head[2]) * head[3] * 8);
    if (first == GS && code == '8') { // GS 8 L p1 p2 p3 p4: a function group with a long length
        if (size < 3)
            return more();
        if (head[2] != 'L')
            return lost();
        return size < 7 ? more() : skip(word(head + 3) + (std::uint64_t(word(head + 5)) << 16));
    }
    if (first == GS && code == 'k') { // barcodes: m 0..6 up to NUL, 65..73 counted
        if (size < 3)
            return more();
        if (head[2] <= 6)
            return until(NUL);
        if (head[2] >= 65 && head[2] <= 73)
            return size < 4 ? more() : skip(head[3]);
        return lost();
    }
    if (first == GS && code == 'V') { // cut: some forms take a feed n
        if (size < 3)
            return more();
        if (oneOf(head[2], {0, 1, 48, 49}))
            return done();
        if (oneOf(head[2], {65, 66, 97, 98, 103, 104}))
            return size < 4 ? more() : done();
        return lost();
    }
    if (first == FS && code == 'q') // FS q n, then n images of (xL+xH·256)·(yL+yH·256)·8 bytes
        return size < 3 ? more() : groups(head[2], 4, 8);
    return fixed(EscPosFixed, head, size);
}

// The commands of Star's raster mode, which replace line mode's from
// ESC * r A to ESC * r B.
Step starRaster(const std::uint8_t *head, std::size_t size)
{
    if (head[0] == 'b' || head[0] == 'k') // b/k n1 n2: a row of n1+n2·256 bytes
        return size < 3 ? more() : skip(word(head + 1));
    if (head[0] != ESC)
        return lost();
    if (size < 2)
        return more();
    if (head[1] == FF) // ESC FF NUL / ESC FF EOT: what ends a page
        return size < 3 ? more() : done();
    if (head[1] != '*')
        return lost();
    if (size < 4)
        return more();
    if (head[2] != 'r')
        return lost();
    if (oneOf(head[3], {'A', 'B', 'C'}))
        return done();
    if (oneOf(head[3], {'P', 'Q', 'T', 'K', 'Y', 'E', 'F'})) // a decimal, up to NUL
        return until(NUL);
    if (head[3] != 'm') // margins: l or r, then a decimal up to NUL
        return lost();
    if (size < 5)
        return more();
    return oneOf(head[4], {'l', 'r'}) ? until(NUL) : lost();
}

Step star(const std::uint8_t *head, std::size_t size, bool raster)
{
    if (raster)
        return starRaster(head, size);
    const std::uint8_t first = head[0];
    if (first >= 0x20)
        return done();
    // BEL and SUB fire the first and the second drawer; FS fires the first
    // at once, ahead of the data waiting in the buffer.
    if (oneOf(first, {BEL, SUB, FS, ENQ, EOT, HT, LF, VT, FF, CR, SO, DC4, CAN}))
        return done();
    if (first != ESC)
        return lost();
    if (size < 2)
        return more();
    switch (head[1]) {
    case ACK: // ESC ACK SOH: the status, asked for
        if (size < 3)
            return more();
        return head[2] == SOH ? done() : lost();
    case GS: // ESC GS a n, ESC GS t n, and the QR code's ESC GS y commands
        if (size < 3)
            return more();
        if (head[2] == 'a' || head[2] == 't')
            return size < 4 ? more() : done();
        if (head[2] != 'y')
            return lost();
        if (size < 4)
            return more();
        if (head[3] == 'P')
            return done();
        if (head[3] == 'S') // ESC GS y S 0/1/2 n
            return size < 6 ? more() : done();
        if (head[3] != 'D')
            return lost();
        if (size < 5)
            return more();
        if (head[4] != '1') // ESC GS y D 1 m nL nH, then the data
            return lost();
        return size < 8 ? more() : skip(word(head + 6));
    case RS: // ESC RS a n: automatic status
        if (size < 3)
            return more();
        return head[2] == 'a' ? (size < 4 ? more() : done()) : lost();
    case FS: // ESC FS p n m: a logo from the printer's memory
        if (size < 3)
            return more();
        return head[2] == 'p' ? (size < 5 ? more() : done()) : lost();
    case 'b': // ESC b n1 n2 n3 n4, then the barcode's data up to RS
        return size < 6 ? more() : until(RS);
    case 'D': // tab positions, across and down, up to NUL
    case 'B':
        return until(NUL);
    case '*': // ESC * r A: into raster mode
        if (size < 4)
            return more();
        return head[2] == 'r' && head[3] == 'A' ? done() : lost();
    default:
        return fixed(StarFixed, head, size);
    }
}

} // namespace

bool CommandReader::take(std::uint8_t byte)
{
    m_strayKick.reset();
    m_strayQuestion = false;
    switch (m_state) {
    case State::Lost:
        return false;
    case State::Start:
        m_headSize = 0;
        m_recentSize = 0;
        m_firedDrawer.reset();
        m_asksForAnswer = false;
        m_head[m_headSize++] = byte;
        m_state = State::Head;
        decode();
        break;
    case State::Head:
        watchRealTime(byte);
        m_head[m_headSize++] = byte;
        decode();
        break;
    case State::Skip:
        beginData(byte);
        if (--m_count == 0)
            m_state = State::Start;
        break;
    case State::Until:
        beginData(byte);
        if (byte == m_terminator)
            m_state = State::Start;
        else if (--m_count == 0)
            m_state = State::Lost;
        break;
    case State::Groups:
        beginData(byte);
        if (m_count > 0) { // inside a group's data
            if (--m_count == 0 && --m_groups == 0)
                m_state = State::Start;
            break;
        }
        m_group[m_groupFill++] = byte;
        if (m_groupFill == m_groupHeadSize) {
            m_groupFill = 0;
            m_count = m_groupUnit
                * (m_groupHeadSize == 1 ? m_group[0] : word(&m_group[0]) * word(&m_group[2]));
            if (m_count == 0 && --m_groups == 0)
                m_state = State::Start;
        }
        break;
    }
    return m_state == State::Start && endCommand();
}

// A data byte: kept while the head has room, so the command's first bytes
// of data can tell what it asks; and watched for real-time commands.
void CommandReader::beginData(std::uint8_t byte)
{
    watchRealTime(byte);
    if (m_headSize < m_head.size())
        m_head[m_headSize++] = byte;
}

void CommandReader::decode()
{
    const Step step = m_language == PrinterLanguage::EscPos
        ? escPos(m_head.data(), m_headSize)
        : star(m_head.data(), m_headSize, m_raster);
    switch (step.kind) {
    case Step::More:
        if (m_headSize == m_head.size())
            m_state = State::Lost;
        return;
    case Step::Lost:
        m_state = State::Lost;
        return;
    case Step::Skip:
        m_count = step.count;
        m_state = m_count == 0 ? State::Start : State::Skip;
        return;
    case Step::Until:
        m_count = step.count;
        m_terminator = step.terminator;
        m_state = State::Until;
        return;
    case Step::Groups:
        m_groups = step.count;
        m_groupHeadSize = step.groupHeadSize;
        m_groupUnit = step.groupUnit;
        m_groupFill = 0;
        m_count = 0;
        m_state = m_groups == 0 ? State::Start : State::Groups;
        return;
    }
}

// The command has ended: what it does to the drawers, whether it is
// answered, and, for Star, whether it switches raster mode.
bool CommandReader::endCommand()
{
    const auto at = [this](std::size_t i) { return i < m_headSize ? int(m_head[i]) : -1; };
    const int first = at(0), code = at(1);
    if (m_language == PrinterLanguage::EscPos) {
        if (first == ESC && code == 'p')
            m_firedDrawer = at(2) & 1; // m = 0/48: pin 2, 1/49: pin 5
        else if (first == DLE && code == DC4 && at(2) == 1)
            m_firedDrawer = at(3) & 1;
        // A function group's answering functions: GS ( x pL pH cn/m fn.
        const int fn = at(6);
        m_asksForAnswer = (first == DLE && code == EOT)
            || (first == DLE && code == DC4 && (at(2) == 7 || at(2) == 8))
            || (first == ESC && (code == 'u' || code == 'v'))
            || (first == GS && (code == 'I' || code == 'r'))
            || (first == GS && (code == 'a' || code == 'j') && at(2) != 0)
            || (first == GS && code == 'g' && at(2) == '2')
            || (first == GS && code == '(' && (at(2) == 'H' || at(2) == 'E'))
            || (first == GS && code == '(' && at(2) == 'k' && fn == 'R')
            || (first == GS && code == '(' && at(2) == 'L' && m_headSize > 6
                && oneOf(m_head[6], {0, '0', 3, '3', 4, '4', '@', 'P'}));
        return true;
    }
    if (m_raster) {
        if (first == ESC && code == '*' && at(3) == 'B')
            m_raster = false;
        return true;
    }
    if (first == BEL || first == FS)
        m_firedDrawer = 0;
    else if (first == SUB)
        m_firedDrawer = 1;
    else if (first == ESC && code == '*')
        m_raster = true;
    m_asksForAnswer = first == ENQ || first == EOT || (first == ESC && code == ACK)
        || (first == ESC && code == RS && at(3) != 0);
    return true;
}

// ESC/POS real-time commands among a command's data bytes: DLE EOT n
// (n = 1..4) and DLE DC4 1 m t. The printer may carry them out.
void CommandReader::watchRealTime(std::uint8_t byte)
{
    if (m_language != PrinterLanguage::EscPos)
        return;
    const auto &r = m_recent;
    const std::size_t n = m_recentSize;
    if (n >= 2 && r[n - 2] == DLE && r[n - 1] == EOT && byte >= 1 && byte <= 4)
        m_strayQuestion = true;
    if (n == 4 && r[0] == DLE && r[1] == DC4 && r[2] == 1)
        m_strayKick = r[3] & 1;
    if (n == m_recent.size())
        std::copy(r.begin() + 1, r.end(), m_recent.begin());
    m_recent[std::min(n, m_recent.size() - 1)] = byte;
    m_recentSize = std::min(n + 1, m_recent.size());
}

namespace {

// The length of the ESC/POS kick sequence (ESC p, DLE DC4 1) that the bytes
// start with, or that they begin where the job ends; 0 for none.
std::size_t kickSequenceAt(const std::uint8_t *bytes, std::size_t size)
{
    static constexpr std::uint8_t escP[] = {ESC, 'p'}, dc4[] = {DLE, DC4, 1};
    using Kick = std::span<const std::uint8_t>;
    for (const Kick kick : {Kick(escP), Kick(dc4)}) {
        const std::size_t n = std::min(size, kick.size());
        if (n > 0 && std::equal(bytes, bytes + n, kick.begin()))
            return kick.size();
    }
    return 0;
}

// The kicks among bytes the reader could not follow, found by their bytes
// alone: each is recorded, though some may be data. Where the job ends
// before a kick's drawer byte, the printer takes it from whatever comes next:
// the first drawer stands for it.
void searchKicks(PrinterLanguage language, const std::uint8_t *job, std::size_t from,
    std::size_t size, std::vector<JobKick> &kicks)
{
    const std::size_t known = kicks.size();
    for (std::size_t i = from; i < size; ++i) {
        std::optional<int> drawer;
        if (language == PrinterLanguage::StarLine) {
            if (job[i] == BEL || job[i] == FS)
                drawer = 0;
            else if (job[i] == SUB)
                drawer = 1;
        } else if (const std::size_t length = kickSequenceAt(job + i, size - i)) {
            drawer = i + length < size ? job[i + length] & 1 : 0;
        }
        const auto same = [&](const JobKick &k) { return k.offset == i; };
        if (drawer && std::none_of(kicks.begin(), kicks.begin() + known, same))
            kicks.push_back({i, *drawer, false});
    }
}

} // namespace

std::vector<JobKick> findKicks(PrinterLanguage language, const std::uint8_t *job, std::size_t size)
{
    std::vector<JobKick> kicks;
    CommandReader reader(language);
    std::size_t start = 0; // where the command being read began
    for (std::size_t i = 0; i < size; ++i) {
        if (reader.atBoundary())
            start = i;
        if (reader.take(job[i]) && reader.firedDrawer())
            kicks.push_back({start, *reader.firedDrawer(), true});
        if (reader.strayKick())
            kicks.push_back({i - 4, *reader.strayKick(), false});
        if (reader.lost()) {
            searchKicks(language, job, start, size, kicks);
            return kicks;
        }
    }
    // A kick cut short by the job's end fires with the next job's bytes.
    if (!reader.atBoundary() && language == PrinterLanguage::EscPos) {
        if (const std::size_t length = kickSequenceAt(job + start, size - start))
            kicks.push_back({start, start + length < size ? job[start + length] & 1 : 0, false});
    }
    return kicks;
}

} // namespace drawerdriver
