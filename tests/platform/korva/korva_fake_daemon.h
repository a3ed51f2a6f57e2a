// A stand-in for the daemon's side of a view's message channel: it
// registers the view (which opens the channel in this process) and runs
// threads that sit in korva_cmd(KORVA_CMD_LPC_MESSAGE) as kernel request
// threads do, each answering with the test's handler. Going out of scope
// unregisters the view, which ends the threads.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/korva/korva.h"
#include "platform/korva/korva_message.h"
#include "platform/korva/korva_test_support.h"

namespace korva_test {

// One request as a daemon thread got it, and the caller it was made for.
struct Served {
  korva::RequestHeader header;
  std::vector<unsigned char> body;
  korva_caller caller{};
};

// What the handler answers: the reply body and its rpc_status.
struct Answer {
  uint32_t rpc_status = 0;
  std::vector<unsigned char> body;
};

class FakeDaemon {
 public:
  using Handler = std::function<Answer(const Served&)>;

  // Registers `tag` with view uuid bytes `uuid_fill` and starts `threads`
  // threads answering with `handler`.
  FakeDaemon(std::string tag, unsigned char uuid_fill, int threads, Handler handler)
      : tag_(std::move(tag)), handler_(std::move(handler)) {
    registered_ = registerView(tag_.c_str(), uuid_fill, "/stg/fake").status == 0;
    EXPECT_TRUE(registered_);
    for (int i = 0; i < threads; ++i) threads_.emplace_back([this] { loop(); });
  }

  ~FakeDaemon() {
    unregister();
    for (auto& t : threads_) t.join();
  }

  FakeDaemon(const FakeDaemon&) = delete;
  FakeDaemon& operator=(const FakeDaemon&) = delete;

  // Unregisters the view: every thread's message call ends with 1046.
  void unregister() {
    if (!registered_) return;
    registered_ = false;
    EXPECT_EQ(0, unregisterView(tag_.c_str()).status);
  }

  // Statuses the threads' last message calls returned (1046 once ended).
  std::vector<int> endStatuses() {
    std::lock_guard<std::mutex> lock(mu_);
    return end_statuses_;
  }
  // Every request served so far, in the order the threads recorded them:
  // with several threads that need not be the order they took them in (a
  // thread may be held up between its message call and the record).
  std::vector<Served> served() {
    std::lock_guard<std::mutex> lock(mu_);
    return served_;
  }

 private:
  // A kernel request thread: one buffer, the reply going down with the call
  // that fetches the next request.
  void loop() {
    int status = -1;
    korva_handle_t h = korva_view_root_open_type(KORVA_VIEWROOT_AUTOMATIC, &status);
    korva_view_tag_record tag{korva_text_of(tag_.c_str()), korva_text_of(tag_.c_str())};
    std::vector<unsigned char> buffer(korva::kMessageSize, 0);
    for (;;) {
      int result = 0;
      status = 0;
      korva_cmd(h, &result, &status, KORVA_CMD_LPC_MESSAGE, 0, &tag, buffer.data(), buffer.size());
      if (result != 0 || status == 1046) break;
      if (status != 0) continue;  // the same buffer again
      Served request;
      request.header = korva::readRequestHeader(buffer.data());
      request.body.assign(buffer.begin() + korva::kHeaderSize,
                          buffer.begin() + korva::kHeaderSize + static_cast<long>(request.header.req_size));
      EXPECT_EQ(0, korva_lpc_caller(&request.caller));
      {
        std::lock_guard<std::mutex> lock(mu_);
        served_.push_back(request);
      }
      Answer answer = handler_(request);
      if (answer.body.size() > korva::kBodyMax) answer.body.resize(korva::kBodyMax);
      korva::ReplyHeader reply;
      reply.rpc_status = answer.rpc_status;
      reply.res_out_size = answer.body.size();
      reply.request_id = request.header.request_id;
      korva::writeReplyHeader(buffer.data(), reply);
      if (!answer.body.empty()) {
        std::memcpy(buffer.data() + korva::kHeaderSize, answer.body.data(), answer.body.size());
      }
    }
    korva_view_root_close_type(KORVA_VIEWROOT_AUTOMATIC, h);
    std::lock_guard<std::mutex> lock(mu_);
    end_statuses_.push_back(status);
  }

  std::string tag_;
  Handler handler_;
  std::atomic<bool> registered_{false};
  std::mutex mu_;
  std::vector<Served> served_;
  std::vector<int> end_statuses_;
  std::vector<std::thread> threads_;
};

}  // namespace korva_test
