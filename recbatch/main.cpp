// recbatch: a production batch of images from one template, each unit with
// its own address and secrets, every address in a ledger, made by a pipeline
// of stages (batch.h); or the audit of a batch folder against the ledger.
#include "audit.h"
#include "checks.h"
#include "cli.h"
#include "issue.h"
#include "request.h"
#include "table.h"
#include "write.h"

int main(int argc, char *argv[])
{
    unsigned closed = 0;
    if (int status = 0; Cli_begin("recbatch", REQUEST_USAGE, argc, argv, status, &closed))
        return status;
    Request request{};
    if (!Request_parse(argc, argv, request, closed))
        return 2;
    Fault fault{};
    if (Audit_verdict verdict{}; request.audit != nullptr)
        return Batch_audit(request.ledgerPath, request.audit, verdict, fault) ? Audit_report(verdict) : Cli_fail(fault);

    // OUTDIR's hidden folder first; every run that does not finish removes it.
    std::string outdir;
    Write_catchSignals();
    if (!Write_start(request.outdir, outdir, fault))
        return Cli_fail(fault);

    // Outside the ledger's lock: the inputs read once, the range foreseen, the
    // secrets drawn, every unit checked; then the lock for the address step.
    Template tpl{};
    Units units{};
    Secrets secrets{};
    std::vector<Digest> hashes;
    Faults faults;
    long long id = 0;
    Ledger_ptr ledger{nullptr, Ledger_close};
    if (!Batch_template(request, tpl, faults, fault) || !Batch_units(request, tpl, units, faults, fault) ||
        !Ledger_open(request.ledgerPath, ledger, fault) || !Batch_lease(request, ledger.get(), units, faults, fault) ||
        !Batch_foresee(request, ledger.get(), units, faults, fault) ||
        !Batch_secrets(request, units, secrets, fault) ||
        !Batch_check(request, tpl, units, secrets, ledger.get(), hashes, faults, fault) ||
        !Batch_issue(request, tpl, ledger.get(), outdir, units, secrets, hashes, id, faults, fault)) {
        Write_remove();
        return fault.status == FAULT_FAILED ? Cli_fail(fault) : Faults_report(faults);
    }

    // Issued: these addresses are never issued again, whatever follows. A
    // run stopped once OUTDIR is complete leaves its batch to -V to finish.
    bool written = Batch_write(request, tpl, units, secrets, hashes, fault);
    if (Write_stopped()) {
        ledger.reset();
        Write_endByStop();
    }
    return written && Ledger_finish(ledger.get(), id, Ledger_now(), fault) ? 0 : Cli_fail(fault);
}
