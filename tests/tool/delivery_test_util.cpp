// delivery_test_util.cpp - broker process and subscriber of the delivery tests.
#include "tests/tool/delivery_test_util.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <stdexcept>
#include <thread>

#include <mosquitto.h>
#include <nlohmann/json.hpp>

extern char** environ;

namespace deliverytest {

namespace fs = std::filesystem;

namespace {

struct Root {
    fs::path path;
    Root() {
        path = fs::temp_directory_path() / ("tarvocoil-delivery-test-" + std::to_string(getpid()));
        fs::create_directories(path);
    }
    ~Root() {
        std::error_code ec;
        fs::remove_all(path, ec);
    }
};

bool CanConnect(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    close(fd);
    return ok;
}

int Counter() {
    static int n = 0;
    return n++;
}

}  // namespace

std::string TempDir() {
    static Root root;
    return root.path.string();
}

int FreePort() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = 0;
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) throw std::runtime_error("bind failed");
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    close(fd);
    return ntohs(a.sin_port);
}

Broker::Broker(const Tls* tls) {
    dir_ = TempDir() + "/broker" + std::to_string(Counter());
    fs::create_directories(dir_);
    port_ = FreePort();
    tls_ = tls != nullptr;
    config_ = dir_ + "/mosquitto.conf";
    const passwd* pw = getpwuid(getuid());
    std::ofstream c(config_);
    c << "listener " << port_ << " 127.0.0.1\n"
      << "allow_anonymous true\n"
      << "persistence true\n"
      << "persistence_location " << dir_ << "/\n"
      << "log_dest stderr\n"
      // Started as root, mosquitto would switch to its own user and could
      // read neither the key nor this folder.
      << "user " << (pw ? pw->pw_name : "root") << "\n"
      << "max_queued_messages 100000\n";
    if (tls) c << "certfile " << tls->certFile << "\nkeyfile " << tls->keyFile << "\n";
}

Broker::~Broker() { stop(); }

void Broker::requirePassword(const std::string& user, const std::string& password) {
    const std::string file = dir_ + "/passwords";
    std::error_code ec;
    fs::remove(file, ec);
    std::vector<std::string> args{"mosquitto_passwd", "-c", "-b", file, user, password};
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, (dir_ + "/passwd.log").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    pid_t pid = -1;
    const int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    if (rc != 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        throw std::runtime_error("mosquitto_passwd failed; see " + dir_ + "/passwd.log");
    std::ifstream in(config_);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::string anonymous = "allow_anonymous true\n";
    const std::size_t at = text.find(anonymous);
    if (at != std::string::npos) text.replace(at, anonymous.size(), "allow_anonymous false\npassword_file " + file + "\n");
    std::ofstream(config_) << text;
}

void Broker::start() {
    if (pid_ > 0) return;
    std::vector<std::string> args{TARVOCOIL_MOSQUITTO, "-c", config_};
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, (dir_ + "/out.log").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, (dir_ + "/err.log").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    const int rc = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        pid_ = -1;
        throw std::runtime_error("cannot start " + args[0]);
    }
    for (int i = 0; i < 200; ++i) {  // up to 10 s
        if (CanConnect(port_)) return;
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            throw std::runtime_error("mosquitto exited at once; see " + dir_ + "/err.log");
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    throw std::runtime_error("mosquitto does not listen on port " + std::to_string(port_));
}

void Broker::stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    int status = 0;
    for (int i = 0; i < 200; ++i) {
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    kill(pid_, SIGKILL);
    waitpid(pid_, &status, 0);
    pid_ = -1;
}

std::string Broker::url(const std::string& topic) const {
    return std::string(tls_ ? "mqtts" : "mqtt") + "://127.0.0.1:" + std::to_string(port_) + "/" + topic;
}

Broker::Tls MakeCertificate(const std::string& ip) {
    const std::string dir = TempDir() + "/cert" + std::to_string(Counter());
    fs::create_directories(dir);
    Broker::Tls t{dir + "/cert.pem", dir + "/key.pem"};
    const std::string cmd = "openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=" + ip +
                            " -addext subjectAltName=IP:" + ip + " -keyout " +
                            t.keyFile + " -out " + t.certFile + " >/dev/null 2>&1";
    if (std::system(cmd.c_str()) != 0) throw std::runtime_error("openssl could not make a certificate");
    return t;
}

Subscriber::Subscriber(int port, const std::string& topic, const std::string& clientId, const std::string* caFile)
    : topic_(topic) {
    mosquitto_lib_init();
    m_ = mosquitto_new(clientId.c_str(), false, this);
    if (!m_) throw std::runtime_error("mosquitto_new failed");
    if (caFile) mosquitto_tls_set(m_, caFile->c_str(), nullptr, nullptr, nullptr, nullptr);
    mosquitto_message_callback_set(m_, &Subscriber::OnMessage);
    mosquitto_connect_callback_set(m_, [](mosquitto* m, void* obj, int rc) {
        if (rc == 0) mosquitto_subscribe(m, nullptr, static_cast<Subscriber*>(obj)->topic_.c_str(), 1);
    });
    mosquitto_subscribe_callback_set(m_, [](mosquitto*, void* obj, int, int, const int*) {
        Subscriber* s = static_cast<Subscriber*>(obj);
        std::lock_guard<std::mutex> lock(s->mu_);
        s->subscribed_ = true;
        s->cv_.notify_all();
    });
    mosquitto_reconnect_delay_set(m_, 1, 1, false);
    mosquitto_connect_async(m_, "127.0.0.1", port, 20);
    mosquitto_loop_start(m_);
}

Subscriber::~Subscriber() {
    mosquitto_disconnect(m_);
    mosquitto_loop_stop(m_, false);
    mosquitto_destroy(m_);
}

void Subscriber::OnMessage(mosquitto*, void* obj, const mosquitto_message* msg) {
    Subscriber* s = static_cast<Subscriber*>(obj);
    const auto now = std::chrono::steady_clock::now();
    std::string payload(static_cast<const char*>(msg->payload), static_cast<std::size_t>(msg->payloadlen));
    std::lock_guard<std::mutex> lock(s->mu_);
    s->received_.push_back({msg->topic, payload, msg->retain});
    s->messages_.push_back(payload);
    s->arrivals_.push_back(now);
    s->cv_.notify_all();
}

bool Subscriber::waitSubscribed(std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> lock(mu_);
    return cv_.wait_for(lock, limit, [&] { return subscribed_; });
}

bool Subscriber::waitDistinct(std::size_t count, std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> lock(mu_);
    return cv_.wait_for(lock, limit, [&] { return DistinctIds(messages_).size() >= count; });
}

std::vector<std::string> Subscriber::messages() const {
    std::lock_guard<std::mutex> lock(mu_);
    return messages_;
}

std::vector<Subscriber::Message> Subscriber::received() const {
    std::lock_guard<std::mutex> lock(mu_);
    return received_;
}

bool Subscriber::waitFor(const std::function<bool(const Message&)>& ready, std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> lock(mu_);
    return cv_.wait_for(lock, limit, [&] { return std::any_of(received_.begin(), received_.end(), ready); });
}

std::vector<std::chrono::steady_clock::time_point> Subscriber::arrivals() const {
    std::lock_guard<std::mutex> lock(mu_);
    return arrivals_;
}

std::vector<uint64_t> DistinctIds(const std::vector<std::string>& payloads, std::size_t* repeats) {
    std::vector<uint64_t> ids;
    std::set<uint64_t> seen;
    std::size_t rep = 0;
    for (const std::string& p : payloads) {
        const uint64_t id = nlohmann::json::parse(p).at("id").get<uint64_t>();
        if (seen.insert(id).second)
            ids.push_back(id);
        else
            ++rep;
    }
    if (repeats) *repeats = rep;
    return ids;
}

}  // namespace deliverytest
