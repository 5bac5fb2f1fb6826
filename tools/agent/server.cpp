#include "server.h"

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/v6_only.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/strand.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>
#include <chrono>
#include <deque>
#include <iostream>
#include <map>
#include <set>
#include <unordered_set>

#include "reader_device.h"
#include "reader_worker.h"
#include "rpc.h"
#include "security.h"

#ifndef VORLEX_VERSION
#define VORLEX_VERSION "0"
#endif

namespace vorlex::agent {
namespace {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = net::ip::tcp;
using json = nlohmann::json;
using Clock = std::chrono::steady_clock;

constexpr std::size_t kMaxQueuedBytes = 4 * 1024 * 1024;  // a client that does not read
constexpr auto kHandshakeTimeout = std::chrono::seconds(10);

}  // namespace

class WebSocketSession;

class SharedState : public std::enable_shared_from_this<SharedState> {
 public:
  SharedState(net::io_context& io, AgentConfig config, std::string token)
      : io_(io), config_(std::move(config)), token_(std::move(token)) {
    allowed_ = config_.allow;
  }

  void StartReaders() {
    std::weak_ptr<SharedState> weak = shared_from_this();
    for (const ReaderConfig& reader : config_.readers) {
      const std::string id = reader.id;
      readers_.push_back(std::make_unique<ReaderWorker>(
          reader, config_.limits, [this, weak, id](const std::string& method, json params) {
            // On the worker's thread: the message is made here, sent on the network's.
            auto message = std::make_shared<std::string>(Notification(method, params));
            net::post(io_, [weak, id, message] {
              if (auto state = weak.lock()) state->Broadcast(id, message);
            });
          }));
    }
  }
  void StopReaders() { readers_.clear(); }

  net::io_context& io() { return io_; }
  const Limits& limits() const { return config_.limits; }
  const std::string& token() const { return token_; }
  int connections() const { return static_cast<int>(sessions_.size()); }

  // The allow-list: the config file's, read again at each handshake (so that `vorlex-agent
  // allow` and `deny` apply to the next connection; a file's time stamp may not change
  // between two quick edits), with the command line's; else the command line's.
  const std::vector<std::string>& AllowList() {
    if (!config_.file) return allowed_;
    try {
      std::vector<std::string> list = ReadAllowList(*config_.file);
      list.insert(list.end(), config_.command_line_allow.begin(), config_.command_line_allow.end());
      allowed_ = std::move(list);
    } catch (const std::exception& error) {
      std::cerr << "vorlex-agent: the allow-list is unchanged: " << error.what() << "\n";
    }
    return allowed_;
  }

  void Join(WebSocketSession* session) { sessions_.insert(session); }
  void Leave(WebSocketSession* session);
  void Broadcast(const std::string& reader, const std::shared_ptr<std::string>& message);
  void Handle(const std::shared_ptr<WebSocketSession>& session, std::string_view text);

 private:
  ReaderWorker* Find(const json& params, std::string& error_answer, const json& id);
  std::string Info();

  net::io_context& io_;
  AgentConfig config_;
  std::string token_;
  std::vector<std::string> allowed_;
  std::vector<std::unique_ptr<ReaderWorker>> readers_;
  std::unordered_set<WebSocketSession*> sessions_;
  std::map<std::string, WebSocketSession*> claims_;  // reader id -> the session holding it
};

class WebSocketSession : public std::enable_shared_from_this<WebSocketSession> {
 public:
  WebSocketSession(tcp::socket&& socket, std::shared_ptr<SharedState> state)
      : ws_(std::move(socket)), state_(std::move(state)) {
    tokens_ = state_->limits().calls_per_second;
    refilled_ = Clock::now();
  }
  ~WebSocketSession() { Close(); }

  void Run(http::request<http::string_body> request) {
    websocket::stream_base::timeout timeout{};
    timeout.handshake_timeout = kHandshakeTimeout;
    timeout.idle_timeout = std::chrono::seconds(60);  // a ping at 30 s; no pong by 60 s: closed
    timeout.keep_alive_pings = true;
    ws_.set_option(timeout);
    ws_.read_message_max(state_->limits().max_frame_bytes);
    ws_.set_option(websocket::stream_base::decorator([](websocket::response_type& response) {
      response.set(http::field::server, "vorlex-agent/" VORLEX_VERSION);
    }));
    state_->Join(this);  // counted from the handshake on
    ws_.async_accept(request,
                     beast::bind_front_handler(&WebSocketSession::OnAccept, shared_from_this()));
  }

  // Queues `message`; never blocks. A client that reads nothing while 4 MiB wait is dropped.
  void Send(std::shared_ptr<std::string> message) {
    if (closed_) return;
    queued_bytes_ += message->size();
    if (queued_bytes_ > kMaxQueuedBytes) {
      Close();
      beast::error_code ignored;
      beast::get_lowest_layer(ws_).socket().close(ignored);
      return;
    }
    queue_.push_back(std::move(message));
    if (queue_.size() == 1) Write();
  }
  void Send(std::string message) { Send(std::make_shared<std::string>(std::move(message))); }

  bool subscribed(const std::string& reader) const { return subscriptions_.contains(reader); }
  std::set<std::string>& subscriptions() { return subscriptions_; }
  int& pending() { return pending_; }
  bool closed() const { return closed_; }
  auto executor() { return ws_.get_executor(); }

  // One call's worth from this connection's bucket: calls_per_second, refilled continuously.
  bool TakeToken() {
    const double rate = state_->limits().calls_per_second;
    const auto now = Clock::now();
    tokens_ =
        std::min(rate, tokens_ + rate * std::chrono::duration<double>(now - refilled_).count());
    refilled_ = now;
    if (tokens_ < 1.0) return false;
    tokens_ -= 1.0;
    return true;
  }

 private:
  void OnAccept(beast::error_code error) {
    if (error) return Close();
    Read();
  }
  void Read() {
    ws_.async_read(buffer_,
                   beast::bind_front_handler(&WebSocketSession::OnRead, shared_from_this()));
  }
  void OnRead(beast::error_code error, std::size_t size) {
    if (error) return Close();  // closed, too big (1009 sent), timed out
    const bool text = ws_.got_text();
    std::string message = beast::buffers_to_string(buffer_.data());
    buffer_.consume(buffer_.size());
    if (size > state_->limits().max_message_bytes) {
      const std::size_t limit = state_->limits().max_message_bytes;
      Send(Error(nullptr, kMessageTooLarge,
                 "message too large: a request is at most " + std::to_string(limit) + " bytes",
                 {{"limit", limit}}));
    } else if (!text) {
      Send(Error(nullptr, kInvalidRequest, "invalid request: send JSON in text frames"));
    } else {
      state_->Handle(shared_from_this(), message);
    }
    if (!closed_) Read();
  }
  void Write() {
    ws_.text(true);
    ws_.async_write(net::buffer(*queue_.front()),
                    beast::bind_front_handler(&WebSocketSession::OnWrite, shared_from_this()));
  }
  void OnWrite(beast::error_code error, std::size_t) {
    if (error) return Close();
    queued_bytes_ -= queue_.front()->size();
    queue_.pop_front();
    if (!queue_.empty()) Write();
  }
  void Close() {
    if (closed_) return;
    closed_ = true;
    state_->Leave(this);
  }

  websocket::stream<beast::tcp_stream> ws_;
  std::shared_ptr<SharedState> state_;
  beast::flat_buffer buffer_;
  std::deque<std::shared_ptr<std::string>> queue_;
  std::size_t queued_bytes_ = 0;
  bool closed_ = false;
  std::set<std::string> subscriptions_;
  int pending_ = 0;
  double tokens_ = 0;
  Clock::time_point refilled_;
};

void SharedState::Leave(WebSocketSession* session) {
  sessions_.erase(session);
  // Its claims end with it; a call it started runs to its end on the worker.
  for (auto it = claims_.begin(); it != claims_.end();) {
    it = it->second == session ? claims_.erase(it) : std::next(it);
  }
}

void SharedState::Broadcast(const std::string& reader,
                            const std::shared_ptr<std::string>& message) {
  // Sending may drop a client that reads nothing (and so change sessions_): pick them first.
  std::vector<std::shared_ptr<WebSocketSession>> subscribers;
  for (WebSocketSession* session : sessions_) {
    if (session->subscribed(reader)) subscribers.push_back(session->shared_from_this());
  }
  for (const auto& session : subscribers) session->Send(message);
}

std::string SharedState::Info() {
  json readers = json::array();
  for (const auto& worker : readers_) {
    const ReaderConfig& reader = worker->config();
    std::string state = worker->lost() ? "lost" : claims_.contains(reader.id) ? "busy" : "ready";
    readers.push_back(
        {{"id", reader.id}, {"port", reader.port}, {"edition", reader.edition}, {"state", state}});
  }
  return json{{"version", VORLEX_VERSION}, {"readers", readers}}.dump();
}

ReaderWorker* SharedState::Find(const json& params, std::string& error_answer, const json& id) {
  const auto given = params.find("reader");
  if (given == params.end()) {
    if (readers_.size() == 1) return readers_.front().get();
    error_answer = Error(id, kUnknownReader,
                         "unknown reader: the agent serves several readers; give \"reader\" "
                         "(agent.info lists them)");
    return nullptr;
  }
  if (!given->is_string()) {
    error_answer = Error(id, kInvalidParams, "invalid params: \"reader\" is a reader's id",
                         {{"reason", "reader must be a string"}});
    return nullptr;
  }
  for (const auto& worker : readers_) {
    if (worker->config().id == given->get<std::string>()) return worker.get();
  }
  error_answer = Error(
      id, kUnknownReader,
      "unknown reader: no reader \"" + given->get<std::string>() + "\" (agent.info lists them)");
  return nullptr;
}

void SharedState::Handle(const std::shared_ptr<WebSocketSession>& session, std::string_view text) {
  Parsed parsed = ParseRequest(text, config_.limits.max_depth);
  if (!parsed.request) return session->Send(std::move(parsed.error));
  Request& request = *parsed.request;
  const json& id = request.id;
  const auto answer = [&](std::string message) {
    if (!request.notification) session->Send(std::move(message));
  };
  if (!session->TakeToken()) {
    return answer(Error(id, kRateLimited,
                        "rate limited: at most " + std::to_string(config_.limits.calls_per_second) +
                            " calls a second on one connection",
                        {{"limit", config_.limits.calls_per_second}}));
  }
  const std::string& method = request.method;
  if (method == "agent.info")
    return answer("{\"jsonrpc\":\"2.0\",\"id\":" + id.dump() + ",\"result\":" + Info() + "}");
  const bool ours = method == "reader.claim" || method == "reader.release" ||
                    method == "events.subscribe" || method == "events.unsubscribe";
  if (!ours && !ReaderDevice::Handles(method)) {
    return answer(Error(id, kMethodNotFound, "method not found: " + method.substr(0, 100)));
  }
  std::string refusal;
  ReaderWorker* reader = Find(request.params, refusal, id);
  if (reader == nullptr) return answer(refusal);
  const std::string& reader_id = reader->config().id;
  const auto claim = claims_.find(reader_id);
  WebSocketSession* holder = claim == claims_.end() ? nullptr : claim->second;
  const auto busy = [&] {
    return Error(id, kReaderBusy,
                 "reader busy: another connection has claimed " + reader_id +
                     "; try again when it releases it",
                 {{"reader", reader_id}});
  };
  if (method == "events.subscribe" || method == "events.unsubscribe") {
    if (method == "events.subscribe") {
      session->subscriptions().insert(reader_id);
    } else {
      session->subscriptions().erase(reader_id);
    }
    return answer(Result(id, json::object()));
  }
  if (holder != nullptr && holder != session.get()) return answer(busy());
  if (method == "reader.claim") {
    claims_[reader_id] = session.get();
    return answer(Result(id, json::object()));
  }
  if (method == "reader.release") {
    if (holder != nullptr) claims_.erase(claim);
    return answer(Result(id, json::object()));
  }
  if (reader->lost()) {
    return answer(Error(id, kReaderLost,
                        "reader lost: the reader's port is gone; the agent is reopening it",
                        {{"reader", reader_id}}));
  }
  if (session->pending() >= config_.limits.max_pending_calls) {
    return answer(Error(id, kRateLimited,
                        "rate limited: at most " +
                            std::to_string(config_.limits.max_pending_calls) +
                            " unanswered calls on one connection",
                        {{"limit", config_.limits.max_pending_calls}}));
  }
  json params = std::move(request.params);
  params.erase("reader");
  ++session->pending();
  reader->Submit(method, std::move(params),
                 [session, id, notification = request.notification](CallOutcome outcome) {
                   // On the worker's thread: the answer is made here, sent on the network's.
                   auto message = std::make_shared<std::string>(
                       outcome.ok ? Result(id, outcome.result)
                                  : Error(id, outcome.code, outcome.message, outcome.data));
                   net::post(session->executor(), [session, message, notification] {
                     --session->pending();
                     if (!notification) session->Send(message);
                   });
                 });
}

namespace {

class HttpSession : public std::enable_shared_from_this<HttpSession> {
 public:
  HttpSession(tcp::socket&& socket, std::shared_ptr<SharedState> state)
      : stream_(std::move(socket)), state_(std::move(state)) {}

  void Run() {
    parser_.emplace();
    parser_->header_limit(8 * 1024);
    parser_->body_limit(1024);
    stream_.expires_after(kHandshakeTimeout);
    http::async_read(stream_, buffer_, *parser_,
                     beast::bind_front_handler(&HttpSession::OnRead, shared_from_this()));
  }

 private:
  static std::optional<std::string_view> Header(const http::request<http::string_body>& request,
                                                http::field field) {
    const auto found = request.find(field);
    if (found == request.end()) return std::nullopt;
    return std::string_view(found->value().data(), found->value().size());
  }

  void OnRead(beast::error_code error, std::size_t) {
    if (error) return;  // the connection closes with us
    const http::request<http::string_body>& request = parser_->get();
    HandshakeRequest handshake;
    handshake.host = Header(request, http::field::host);
    handshake.origin = Header(request, http::field::origin);
    handshake.authorization = Header(request, http::field::authorization);
    handshake.target = std::string_view(request.target().data(), request.target().size());
    HandshakeVerdict verdict = CheckHandshake(handshake, state_->AllowList(), state_->token());
    if (verdict.status == 0 && !websocket::is_upgrade(request)) {
      verdict = {426,
                 "vorlex-agent: this is a WebSocket service (JSON-RPC 2.0): connect to "
                 "ws://127.0.0.1:PORT/ with a WebSocket client.\n"};
    }
    if (verdict.status == 0 && state_->connections() >= state_->limits().max_connections) {
      verdict = {503, "vorlex-agent: refused: " + std::to_string(state_->limits().max_connections) +
                          " connections are open, the most the agent serves; close one and try "
                          "again.\n"};
    }
    if (verdict.status != 0) return Refuse(verdict, request.version());
    stream_.expires_never();
    std::make_shared<WebSocketSession>(stream_.release_socket(), state_)->Run(parser_->release());
  }

  void Refuse(const HandshakeVerdict& verdict, unsigned version) {
    auto response = std::make_shared<http::response<http::string_body>>(
        static_cast<http::status>(verdict.status), version);
    response->set(http::field::server, "vorlex-agent/" VORLEX_VERSION);
    response->set(http::field::content_type, "text/plain; charset=utf-8");
    if (verdict.status == 401) response->set(http::field::www_authenticate, "Bearer");
    response->body() = verdict.body;
    response->keep_alive(false);
    response->prepare_payload();
    http::async_write(stream_, *response,
                      [self = shared_from_this(), response](beast::error_code, std::size_t) {
                        beast::error_code ignored;
                        self->stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
                      });
  }

  beast::tcp_stream stream_;
  beast::flat_buffer buffer_;
  std::optional<http::request_parser<http::string_body>> parser_;
  std::shared_ptr<SharedState> state_;
};

}  // namespace

class Listener : public std::enable_shared_from_this<Listener> {
 public:
  Listener(net::io_context& io, const tcp::endpoint& endpoint, std::shared_ptr<SharedState> state)
      : io_(io), acceptor_(io), state_(std::move(state)) {
    acceptor_.open(endpoint.protocol());
    acceptor_.set_option(net::socket_base::reuse_address(true));
    if (endpoint.address().is_v6()) acceptor_.set_option(net::ip::v6_only(true));
    acceptor_.bind(endpoint);
    acceptor_.listen(net::socket_base::max_listen_connections);
  }
  void Run() { Accept(); }
  void Stop() {
    beast::error_code ignored;
    acceptor_.close(ignored);
  }
  std::uint16_t port() const { return acceptor_.local_endpoint().port(); }

 private:
  void Accept() {
    acceptor_.async_accept(io_, beast::bind_front_handler(&Listener::OnAccept, shared_from_this()));
  }
  void OnAccept(beast::error_code error, tcp::socket socket) {
    if (error == net::error::operation_aborted) return;
    if (!error) std::make_shared<HttpSession>(std::move(socket), state_)->Run();
    if (acceptor_.is_open()) Accept();
  }

  net::io_context& io_;
  tcp::acceptor acceptor_;
  std::shared_ptr<SharedState> state_;
};

Server::Server(net::io_context& io, AgentConfig config, std::string token) {
  std::vector<ListenAddress> addresses = config.listen;
  if (addresses.empty()) addresses = {{"127.0.0.1", kDefaultPort}, {"::1", kDefaultPort}};
  state_ = std::make_shared<SharedState>(io, std::move(config), std::move(token));
  std::uint16_t chosen = 0;  // port 0: the first address's port is every address's
  for (const ListenAddress& address : addresses) {
    const auto ip = net::ip::make_address(address.address);
    std::uint16_t port = address.port == 0 ? chosen : address.port;
    std::shared_ptr<Listener> listener;
    try {
      listener = std::make_shared<Listener>(io, tcp::endpoint(ip, port), state_);
    } catch (const boost::system::system_error& error) {
      if (ip.is_v6() && !urls_.empty() &&
          error.code() == boost::system::errc::address_not_available) {
        std::cerr << "vorlex-agent: ::1 is not available here; listening on 127.0.0.1 only\n";
        continue;
      }
      throw std::runtime_error("cannot listen on " + address.address + " port " +
                               std::to_string(port) + ": " + error.code().message());
    }
    if (chosen == 0) chosen = listener->port();
    urls_.push_back("ws://" + (ip.is_v6() ? "[" + address.address + "]" : address.address) + ":" +
                    std::to_string(listener->port()) + "/");
    listeners_.push_back(listener);
  }
  state_->StartReaders();
  for (auto& listener : listeners_) listener->Run();
}

Server::~Server() {
  Stop();
  state_->StopReaders();
}

void Server::Stop() {
  for (auto& listener : listeners_) listener->Stop();
  listeners_.clear();
}

}  // namespace vorlex::agent
