// The public Emulator: a thin facade over the module server, taking its lock around
// every access so that the member functions are safe from any thread.
#include "netpod_emulator/emulator.h"

#include <arpa/inet.h>
#include <unistd.h>

#include <random>

#include "module_server.h"

namespace netpod::emu {

struct Emulator::Impl : ModuleServer {
    using ModuleServer::ModuleServer;
};

Emulator::Emulator(std::vector<ModuleConfig> modules, bool answerBroadcast)
    : impl_(std::make_unique<Impl>(std::move(modules), answerBroadcast)) {}

Emulator::~Emulator() {
    stop();
}

bool Emulator::start(std::string* error) {
    return impl_->start(error);
}

void Emulator::stop() {
    impl_->stop();
}

std::size_t Emulator::moduleCount() const {
    return impl_->moduleCount();
}

const ModuleConfig& Emulator::config(std::size_t module) const {
    return impl_->module(module).config;  // constant, so read without the lock
}

std::string Emulator::ptyPath(std::size_t module) const {
    std::lock_guard lock(impl_->mutex());
    return impl_->module(module).ptyPath;
}

void Emulator::setFaults(std::size_t module, const Faults& faults) {
    std::lock_guard lock(impl_->mutex());
    impl_->setFaults(module, faults);
}

Faults Emulator::faults(std::size_t module) const {
    std::lock_guard lock(impl_->mutex());
    return impl_->module(module).faults;
}

Counters Emulator::counters(std::size_t module) const {
    std::lock_guard lock(impl_->mutex());
    return impl_->module(module).model.counters;
}

RegisterSnapshot Emulator::registers(std::size_t module) const {
    std::lock_guard lock(impl_->mutex());
    return impl_->module(module).model.registers.snapshot(impl_->seconds());
}

bool Emulator::setRegisterValue(std::size_t module, std::uint8_t address, std::span<const std::uint8_t> value) {
    std::lock_guard lock(impl_->mutex());
    return impl_->module(module).model.registers.pin(address, value);
}

void Emulator::setEepromBytes(std::size_t module, std::uint8_t wordAddress, std::span<const std::uint8_t> bytes) {
    std::lock_guard lock(impl_->mutex());
    impl_->module(module).model.i2c.writeEeprom(wordAddress, bytes);
}

std::array<std::uint8_t, 256> Emulator::eeprom(std::size_t module) const {
    std::lock_guard lock(impl_->mutex());
    return impl_->module(module).model.i2c.eeprom();
}

std::vector<std::vector<std::uint8_t>> Emulator::receivedRequests(std::size_t module) const {
    std::lock_guard lock(impl_->mutex());
    return impl_->module(module).requests;
}

std::vector<std::vector<std::uint8_t>> Emulator::receivedDatagrams(std::size_t module) const {
    std::lock_guard lock(impl_->mutex());
    return impl_->module(module).datagrams;
}

std::vector<std::uint8_t> Emulator::serialReceived(std::size_t module) const {
    std::lock_guard lock(impl_->mutex());
    return impl_->module(module).serial;
}

void Emulator::clearRecorded(std::size_t module) {
    std::lock_guard lock(impl_->mutex());
    auto& m = impl_->module(module);
    m.requests.clear();
    m.datagrams.clear();
    m.serial.clear();
}

ModuleConfig NthModule(const ModuleConfig& base, std::size_t i) {
    ModuleConfig c = base;
    in_addr address{};
    if (ParseIPv4(base.address, &address)) {
        address.s_addr = htonl(ntohl(address.s_addr) + static_cast<std::uint32_t>(i));
        c.address = FormatIPv4(address);
    }
    std::size_t carry = i;
    for (std::size_t k = c.mac.size(); k-- > 0 && carry != 0;) {
        const std::size_t sum = c.mac[k] + carry;
        c.mac[k] = static_cast<std::uint8_t>(sum & 0xFF);
        carry = sum >> 8;
    }
    // The trailing number of the name counts up, keeping its width ("-01", "-02", ...).
    std::size_t digits = c.name.size();
    while (digits > 0 && c.name[digits - 1] >= '0' && c.name[digits - 1] <= '9')
        --digits;
    if (i > 0) {
        if (digits == c.name.size()) {
            c.name += std::to_string(i + 1);
        } else {
            const std::string number = c.name.substr(digits);
            std::string counted = std::to_string(std::stoull(number) + i);
            if (counted.size() < number.size())
                counted.insert(0, number.size() - counted.size(), '0');
            c.name = c.name.substr(0, digits) + counted;
        }
        if (c.name.size() > 16)
            c.name.erase(0, c.name.size() - 16);  // keep the distinguishing number
    }
    return c;
}

std::unique_ptr<Emulator> StartOnFreeLoopback(ModuleConfig base, std::size_t modules, std::string* error,
                                              bool answerBroadcast) {
    std::random_device seed;
    std::mt19937 random(seed() ^ static_cast<unsigned>(::getpid()));
    std::uniform_int_distribution<int> a(1, 254), b(0, 255);
    const int lastStart = std::max(2, 254 - static_cast<int>(modules));
    std::uniform_int_distribution<int> c(2, lastStart);
    std::string why = "no module to emulate";
    for (int attempt = 0; attempt < 64 && modules > 0; ++attempt) {
        base.address = "127." + std::to_string(a(random)) + "." + std::to_string(b(random)) + "." +
                       std::to_string(c(random));
        std::vector<ModuleConfig> configs;
        for (std::size_t i = 0; i < modules; ++i)
            configs.push_back(NthModule(base, i));
        auto emulator = std::make_unique<Emulator>(std::move(configs), answerBroadcast);
        if (emulator->start(&why))
            return emulator;
    }
    if (error != nullptr)
        *error = why;
    return nullptr;
}

}  // namespace netpod::emu
