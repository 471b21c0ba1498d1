// tarn-setup create: the three databases from their designs.
#include <iostream>

#include "base/auth_names.h"
#include "kit/kit.h"
#include "setup.h"

namespace tarnsetup {
namespace {

const CommandRegistration kCreate(10, [](CLI::App& app, Run& run) {
    auto* cmd = app.add_subcommand("create", "create the configuration, alerts and capture-queue databases");
    auto o = std::make_shared<tarnkit::CreateOptions>();
    auto s = std::make_shared<tarnkit::ServerSettings>();
    cmd->add_option("--admins", o->admins, "the administrators' group, Manager of every database");
    cmd->add_option("--processor-account", o->processorAccount, "the processor's account, Editor of the capture queue");
    cmd->add_flag("--skip-existing", o->skipExisting, "leave a database that exists as it is");
    auto* host = cmd->add_option("--host", s->host, "the processor's host (writes the server document)");
    cmd->add_option("--port", s->port, "the processor's port")->check(CLI::Range(1, 65535))->needs(host);
    cmd->add_option("--path", s->path, "the processor's request path")->needs(host);
    cmd->add_option("--auth", s->auth, "None, Basic or Session")
        ->transform(CLI::Validator([](std::string& v) { return tarn::TakeAuthOption(v, tarn::kAuthNames); },
                                   "None|Basic|Session"))
        ->needs(host);
    cmd->add_option("--user", s->user, "the processor's user name")->needs(host);
    cmd->add_option("--password", s->password, "the processor's password")->needs(host);
    cmd->callback([o, s, host, &run] {
        run = [o, s, host](const Context&) {
            if (host->count()) o->server = *s;
            return tarnkit::CreateDatabases(*o, std::cout, std::cerr);
        };
    });
});

}  // namespace
}  // namespace tarnsetup
