#pragma once
// FakeDns: a loopback DNS responder with canned answers for tests. It counts the questions it
// gets; it can stay silent, answer late, or send a wrong-ID datagram before each answer.
#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "checks/DnsMessage.h"
#include "platform/UdpSocket.h"

namespace checks {

// A loopback DNS responder with canned answers, counting the questions it gets.
class FakeDns {
public:
    using Records = std::vector<std::pair<uint16_t, std::string>>;  // (type, rdata)
    explicit FakeDns(bool silent = false, bool send_noise_first = false, int delay_ms = 0)
        : silent_(silent), noise_(send_noise_first), delay_ms_(delay_ms) {
        sock_.BindLoopback(0);
        thread_ = std::thread([this] { Serve(); });
    }
    ~FakeDns() {
        stop_ = true;
        thread_.join();
    }
    std::string Address() const { return "127.0.0.1:" + std::to_string(sock_.LocalPort()); }
    void Add(const std::string& name, uint16_t type, uint16_t rtype, const std::string& rdata) {
        std::scoped_lock lock(mu_);
        records_[{name, type}].push_back({rtype, rdata});
    }
    int Questions() const { return questions_; }

    static std::string A(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
        return std::string{static_cast<char>(a), static_cast<char>(b), static_cast<char>(c), static_cast<char>(d)};
    }
    static std::string Name(const std::string& n) {
        std::string out;
        size_t start = 0;
        while (start < n.size()) {
            size_t dot = n.find('.', start);
            if (dot == std::string::npos) dot = n.size();
            out += static_cast<char>(dot - start);
            out += n.substr(start, dot - start);
            start = dot + 1;
        }
        return out + '\0';
    }

private:
    void Serve() {
        std::string in;
        platform::Endpoint from;
        // Delayed answers wait here, so a slow server still answers many questions at once.
        struct Due {
            std::chrono::steady_clock::time_point when;
            platform::Endpoint to;
            std::string bytes;
        };
        std::vector<Due> due;
        while (!stop_) {
            auto now = std::chrono::steady_clock::now();
            for (auto it = due.begin(); it != due.end();) {
                if (it->when <= now) {
                    sock_.SendTo(it->to, it->bytes, 100);
                    it = due.erase(it);
                } else {
                    ++it;
                }
            }
            if (!sock_.RecvFrom(in, 512, due.empty() ? 20 : 1, &from)) continue;
            ++questions_;
            if (silent_) continue;
            auto q = ParseReply(in);  // a query parses as a message with no answers
            if (!q) continue;
            Records recs;
            {
                std::scoped_lock lock(mu_);
                recs = records_[{q->question, q->qtype}];
            }
            std::string out = in.substr(0, 2) + std::string("\x81\x80\x00\x01", 4);
            out += static_cast<char>(recs.size() >> 8);
            out += static_cast<char>(recs.size() & 0xFF);
            out += std::string(4, '\0');
            out += in.substr(12);  // the question
            for (const auto& [type, rdata] : recs) {
                out += std::string("\xc0\x0c", 2);
                out += static_cast<char>(type >> 8);
                out += static_cast<char>(type & 0xFF);
                out += std::string("\x00\x01\x00\x00\x01\x2c", 6);
                out += static_cast<char>(rdata.size() >> 8);
                out += static_cast<char>(rdata.size() & 0xFF);
                out += rdata;
            }
            if (noise_) {
                std::string wrong = out;
                wrong[0] = static_cast<char>(wrong[0] ^ 0x55);  // another query's ID
                sock_.SendTo(from, wrong, 100);
            }
            if (delay_ms_) {
                due.push_back({std::chrono::steady_clock::now() + std::chrono::milliseconds(delay_ms_), from, out});
                continue;
            }
            sock_.SendTo(from, out, 100);
        }
    }

    platform::UdpSocket sock_;
    bool silent_, noise_;
    int delay_ms_;
    std::atomic<bool> stop_{false};
    std::atomic<int> questions_{0};
    std::mutex mu_;
    std::map<std::pair<std::string, uint16_t>, Records> records_;
    std::thread thread_;
};

}  // namespace checks
