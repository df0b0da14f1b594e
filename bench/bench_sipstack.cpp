// Receive processing of one in-dialog request (parse, stamp, match, bookkeeping) with a small
// and a large dialog table: the per-message cost must not grow with the table.
#include "host/CKZClock.h"
#include "sipstack/CSIPProcessThread.h"
#include "sipstack/sip_group.h"

#include <benchmark/benchmark.h>

#include <string>

namespace {

std::string in_dialog_request(int n) {
    std::string call_id = "bench-call-" + std::to_string(n) + "@10.0.0.1";
    return "INFO sip:bob@10.0.0.2:5060 SIP/2.0\r\n"
           "Via: SIP/2.0/UDP 10.0.0.1:5060;branch=z9hG4bK-" +
           std::to_string(n) +
           ";rport\r\n"
           "Max-Forwards: 70\r\n"
           "From: <sip:alice@10.0.0.1>;tag=from-" +
           std::to_string(n) +
           "\r\n"
           "To: <sip:bob@10.0.0.2>;tag=to-" +
           std::to_string(n) + "\r\nCall-ID: " + call_id +
           "\r\n"
           "CSeq: 2 INFO\r\n"
           "Content-Length: 0\r\n\r\n";
}

void push(sip_group& stack, const std::string& text) {
    sip_cmd cmd;
    cmd.from_ip = 0x0100000A;
    cmd.from_port = 5060;
    cmd.protocol = 0;
    cmd.assign(text.data(), text.size());
    stack.PushReceived(std::move(cmd));
}

void BM_ReceiveInDialogRequest(benchmark::State& state) {
    const int dialogs = static_cast<int>(state.range(0));
    KZAPI::CKZManualClock clock;
    sip_group stack;
    stack.SetClock(&clock);
    CSIPProcessThread queue(CSIPProcessThread::QUEUE_POLLED);
    queue.Attach(&stack, nullptr);
    KZSIPEvent e;
    // Fill the table: each request opens one incoming dialog.
    for (int i = 0; i < dialogs; ++i) {
        push(stack, in_dialog_request(i));
        queue.RunOnePass(&e, false);
    }
    if (stack.DialogCount() != static_cast<size_t>(dialogs)) state.SkipWithError("table not filled");
    // The measured request belongs to a dialog in the middle of the table.
    const std::string text = in_dialog_request(dialogs / 2);
    for (auto _ : state) {
        push(stack, text);
        bool delivered = queue.RunOnePass(&e, false);
        benchmark::DoNotOptimize(delivered);
    }
    state.SetItemsProcessed(state.iterations());
    queue.Detach();
}
BENCHMARK(BM_ReceiveInDialogRequest)->Arg(10)->Arg(10000);

} // namespace

BENCHMARK_MAIN();
