// The demo's sample processor with its outbox. It can be stopped and started
// again on the same port; what earlier instances received and counted is
// kept for the summary.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "processor/outbox.h"
#include "processor/processor.h"

namespace simcli {

class DemoProcessor {
public:
    DemoProcessor(tarnsim::ProcessorOptions po, tarnsim::OutboxOptions oo);
    ~DemoProcessor();
    DemoProcessor(const DemoProcessor&) = delete;
    DemoProcessor& operator=(const DemoProcessor&) = delete;

    // The first start picks a free port; later ones take the same again.
    bool Start(std::string* why, size_t* recovered);
    // Nothing answers on the port afterwards; handlings under way finish first.
    void Stop();

    bool Running() const { return processor != nullptr; }
    int Port() const { return po.port; }
    void SetAuth(tarnsim::AuthMode a);
    void SetMode(tarnsim::FailMode m);
    std::vector<tarnsim::NoticeRecord> Notices() const;
    std::vector<tarnsim::LoginRecord> Logins() const;
    tarnsim::OutboxCounts Counts() const;
    const tarnsim::OutboxOptions& Options() const { return oo; }

private:
    static void Add(tarnsim::OutboxCounts& to, const tarnsim::OutboxCounts& c);
    tarnsim::ProcessorOptions po;
    tarnsim::OutboxOptions oo;
    tarnsim::AuthMode auth = tarnsim::AuthMode::None;
    tarnsim::FailMode mode = tarnsim::FailMode::Normal;
    std::unique_ptr<tarnsim::Processor> processor;
    std::unique_ptr<tarnsim::Outbox> outbox;
    std::vector<tarnsim::NoticeRecord> pastNotices;
    std::vector<tarnsim::LoginRecord> pastLogins;
    tarnsim::OutboxCounts pastCounts;
};

}  // namespace simcli
