#include "demo_processor.h"

#include <cstdio>

namespace simcli {

DemoProcessor::DemoProcessor(tarnsim::ProcessorOptions po, tarnsim::OutboxOptions oo) : po(std::move(po)), oo(oo) {}

DemoProcessor::~DemoProcessor() { Stop(); }

bool DemoProcessor::Start(std::string* why, size_t* recovered) {
    if (processor) return true;
    processor = std::make_unique<tarnsim::Processor>(po);
    processor->SetAuth(auth);
    processor->SetMode(mode);
    auto handle = [](const tarnsim::QueueNote&, tarnsim::Via) {};  // the sample's work: its record is enough
    auto log = [](const std::string& line) {
        printf("   (processor) %s\n", line.c_str());
        fflush(stdout);
    };
    outbox = std::make_unique<tarnsim::Outbox>(oo, handle, log);
    tarnsim::Outbox* box = outbox.get();
    processor->SetLookup([box](const std::string& qnoteid) { return box->OnNotice(qnoteid); });
    if (!processor->Start()) {
        *why = processor->StartProblem();
        processor.reset();
        outbox.reset();
        return false;
    }
    po.port = processor->Port();
    if (!outbox->Start(why, recovered)) {
        processor->Stop();
        processor.reset();
        outbox.reset();
        return false;
    }
    return true;
}

void DemoProcessor::Stop() {
    if (!processor) return;
    processor->Stop();
    outbox->Stop();
    for (auto& n : processor->Notices()) pastNotices.push_back(n);
    for (auto& l : processor->Logins()) pastLogins.push_back(l);
    Add(pastCounts, outbox->Counts());
    processor.reset();
    outbox.reset();
}

void DemoProcessor::SetAuth(tarnsim::AuthMode a) {
    auth = a;
    if (processor) processor->SetAuth(a);
}

void DemoProcessor::SetMode(tarnsim::FailMode m) {
    mode = m;
    if (processor) processor->SetMode(m);
}

std::vector<tarnsim::NoticeRecord> DemoProcessor::Notices() const {
    auto all = pastNotices;
    if (processor)
        for (auto& n : processor->Notices()) all.push_back(n);
    return all;
}

std::vector<tarnsim::LoginRecord> DemoProcessor::Logins() const {
    auto all = pastLogins;
    if (processor)
        for (auto& l : processor->Logins()) all.push_back(l);
    return all;
}

tarnsim::OutboxCounts DemoProcessor::Counts() const {
    tarnsim::OutboxCounts c = pastCounts;
    if (outbox) Add(c, outbox->Counts());
    return c;
}

void DemoProcessor::Add(tarnsim::OutboxCounts& to, const tarnsim::OutboxCounts& c) {
    to.byNotice += c.byNotice;
    to.bySweep += c.bySweep;
    to.duplicates += c.duplicates;
    to.unknown += c.unknown;
    to.failures += c.failures;
    to.unmarked += c.unmarked;
}

}  // namespace simcli
