// A small network laboratory for capture tests: network namespaces with
// unique names joined by veth pairs, threads that run code inside a
// namespace, a raw frame sender, and lldpd as a real LLDP peer. Everything it
// creates is removed by the destructors, also when a test fails.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace lab {

using Bytes = std::vector<uint8_t>;

// Runs a program to its end; returns its exit status (-1 if it did not exit).
int run(const std::vector<std::string>& argv);

// A network namespace named "xqlldp<role><pid>n<counter>", deleted on destruction.
class Netns {
  public:
    explicit Netns(const std::string& role);
    ~Netns();
    Netns(const Netns&) = delete;
    Netns& operator=(const Netns&) = delete;
    const std::string& name() const { return name_; }
    // Runs fn on a thread that has entered this namespace, and waits for it.
    void runInside(const std::function<void()>& fn) const;
    // Starts fn on such a thread; the caller joins it.
    std::thread startInside(std::function<void()> fn) const;
    // "ip -n NAME args...", expecting success.
    void ip(const std::vector<std::string>& args) const;

  private:
    std::string name_;
};

// A veth pair with one end in each namespace, both up.
void addVethPair(const Netns& a, const std::string& nameA, const Netns& b, const std::string& nameB,
                 const std::string& macA = "00:1a:2b:3c:4d:5e");

// Sends frames on an interface of a namespace through a raw AF_PACKET socket.
void sendFrames(const Netns& ns, const std::string& ifname, const std::vector<Bytes>& frames);

// Sends the frames again and again every `interval` until destroyed.
class RepeatingSender {
  public:
    RepeatingSender(const Netns& ns, std::string ifname, std::vector<Bytes> frames,
                    std::chrono::milliseconds interval = std::chrono::milliseconds(50));
    ~RepeatingSender();

  private:
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// lldpd in a namespace managing one interface, with a configuration file;
// stopped with SIGTERM and waited for on destruction.
class Lldpd {
  public:
    Lldpd(const Netns& ns, const std::string& ifname, const std::string& config,
          const std::vector<std::string>& extraArgs = {});
    ~Lldpd();
    pid_t pid() const { return pid_; }

  private:
    std::string dir_;
    pid_t pid_ = -1;
};

}  // namespace lab
