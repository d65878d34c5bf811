#pragma once
// FakeRedis: the tests' in-process Redis on a loopback port, with just the commands the shared
// lists, filter and statistics use on strings and hashes (GET, MGET, SET, EXISTS, DEL, HGET, HSET,
// HSETNX, HINCRBY, HINCRBYFLOAT, HMGET, SADD, SMEMBERS; anything else answers ":1"). `silent` never answers; `Kick` closes the
// connections it holds, as a restart would.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "checks/Redis.h"

namespace checks {

class FakeRedis {
public:
    explicit FakeRedis(bool silent = false) : silent_(silent) {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        ::inet_pton(AF_INET, "127.0.0.1", &a.sin_addr);
        (void)::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::listen(fd_, 8);
        socklen_t len = sizeof a;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
        thread_ = std::thread([this] { Run(); });
    }
    ~FakeRedis() {
        stop_ = true;
        thread_.join();
        ::close(fd_);
    }
    std::string Address() const { return "127.0.0.1:" + std::to_string(port_); }
    // Settings that reach this server.
    CRedis::Settings Settings(std::string prefix = std::string()) const {
        CRedis::Settings s;
        s.server = Address();
        s.prefix = std::move(prefix);
        s.timeout_ms = 200;
        return s;
    }
    void Kick() { kick_ = true; }

private:
    struct Client {
        int fd;
        std::string in;
    };
    static std::string Bulk(const std::string* v) {
        return v ? "$" + std::to_string(v->size()) + "\r\n" + *v + "\r\n" : std::string("$-1\r\n");
    }
    // One whole command at the start of `in` (consumed), or false when it is not all there.
    static bool Take(std::string& in, std::vector<std::string>* args) {
        size_t at = 0;
        auto line = [&](std::string* out) {
            const size_t eol = in.find("\r\n", at);
            if (eol == std::string::npos) return false;
            *out = in.substr(at, eol - at);
            at = eol + 2;
            return true;
        };
        std::string head;
        if (!line(&head) || head.empty() || head[0] != '*') return false;
        args->clear();
        for (int n = std::stoi(head.substr(1)); n > 0; --n) {
            std::string len;
            if (!line(&len)) return false;
            const size_t size = std::stoul(len.substr(1));
            if (in.size() < at + size + 2) return false;
            args->push_back(in.substr(at, size));
            at += size + 2;
        }
        in.erase(0, at);
        return true;
    }
    std::string Answer(const std::vector<std::string>& a) {
        const std::string& c = a[0];
        if (c == "GET") return Bulk(strings_.count(a[1]) ? &strings_[a[1]] : nullptr);
        if (c == "SET") {
            const bool nx = std::find(a.begin(), a.end(), "NX") != a.end();
            if (nx && strings_.count(a[1])) return "$-1\r\n";
            strings_[a[1]] = a[2];
            return "+OK\r\n";
        }
        if (c == "MGET") {
            std::string out = "*" + std::to_string(a.size() - 1) + "\r\n";
            for (size_t i = 1; i < a.size(); ++i) out += Bulk(strings_.count(a[i]) ? &strings_[a[i]] : nullptr);
            return out;
        }
        if (c == "SADD") {
            for (size_t i = 2; i < a.size(); ++i) sets_[a[1]].insert(a[i]);
            return ":1\r\n";
        }
        if (c == "SMEMBERS") {
            std::string out = "*" + std::to_string(sets_[a[1]].size()) + "\r\n";
            for (const std::string& m : sets_[a[1]]) out += Bulk(&m);
            return out;
        }
        if (c == "EXISTS" || c == "DEL") {
            int n = 0;
            for (size_t i = 1; i < a.size(); ++i)
                n += c == "DEL" ? static_cast<int>(strings_.erase(a[i])) : static_cast<int>(strings_.count(a[i]));
            return ":" + std::to_string(n) + "\r\n";
        }
        auto& h = hashes_[a.size() > 1 ? a[1] : ""];
        if (c == "HGET") return Bulk(h.count(a[2]) ? &h[a[2]] : nullptr);
        if (c == "HSET") {
            h[a[2]] = a[3];
            return ":1\r\n";
        }
        if (c == "HSETNX") {
            if (h.count(a[2])) return ":0\r\n";
            h[a[2]] = a[3];
            return ":1\r\n";
        }
        if (c == "HINCRBY") {
            const long long v = (h.count(a[2]) ? std::stoll(h[a[2]]) : 0) + std::stoll(a[3]);
            h[a[2]] = std::to_string(v);
            return ":" + h[a[2]] + "\r\n";
        }
        if (c == "HINCRBYFLOAT") {
            char v[32];
            std::snprintf(v, sizeof v, "%g", (h.count(a[2]) ? std::stod(h[a[2]]) : 0.0) + std::stod(a[3]));
            h[a[2]] = v;
            return Bulk(&h[a[2]]);
        }
        if (c == "HMGET") {
            std::string out = "*" + std::to_string(a.size() - 2) + "\r\n";
            for (size_t i = 2; i < a.size(); ++i) out += Bulk(h.count(a[i]) ? &h[a[i]] : nullptr);
            return out;
        }
        return ":1\r\n";
    }
    void Run() {
        std::vector<Client> clients;
        while (!stop_) {
            if (kick_.exchange(false)) {
                for (const Client& c : clients) ::close(c.fd);
                clients.clear();
            }
            std::vector<pollfd> p{{fd_, POLLIN, 0}};
            for (const Client& c : clients) p.push_back({c.fd, POLLIN, 0});
            if (::poll(p.data(), p.size(), 20) <= 0) continue;
            for (size_t i = 1; i < p.size(); ++i) {
                if (!(p[i].revents & (POLLIN | POLLHUP))) continue;
                Client& c = clients[i - 1];
                char buf[65536];
                const ssize_t n = ::recv(c.fd, buf, sizeof buf, 0);
                if (n <= 0 || silent_) continue;
                c.in.append(buf, static_cast<size_t>(n));
                std::vector<std::string> args;
                std::string out;
                while (Take(c.in, &args))
                    if (!args.empty()) out += Answer(args);
                (void)::send(c.fd, out.data(), out.size(), MSG_NOSIGNAL);
            }
            if (p[0].revents & POLLIN) clients.push_back({::accept(fd_, nullptr, nullptr), {}});
        }
        for (const Client& c : clients) ::close(c.fd);
    }

    bool silent_;
    int fd_ = -1;
    uint16_t port_ = 0;
    std::atomic<bool> stop_{false}, kick_{false};
    std::thread thread_;
    std::map<std::string, std::string> strings_;
    std::map<std::string, std::map<std::string, std::string>> hashes_;
    std::map<std::string, std::set<std::string>> sets_;
};

}  // namespace checks
