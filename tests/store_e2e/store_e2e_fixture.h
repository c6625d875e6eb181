#pragma once
// A Fiscal control keeping its answers in the encrypted store, against the virtual processor.
#include "support/fiscal_fixture.h"

#include <functional>
#include <map>

#include "commands/issuers.h"
#include "store/store_service.h"
#include "link/result_codes.h"
#include "store/record_set.h"
#include "store/store_codes.h"

namespace karvex::testing {

class StoreFixture : public FiscalFixture {
protected:
    void SetUp() override {
        FiscalFixture::SetUp();
        ASSERT_EQ(fiscal_->LoadFiscalForm(), 0);
    }

    ControlModule& M() { return ModuleOf(*fiscal_); }
    StoreService& Store() { return M().Store(); }
    StoreAccess& Access() { return *Store().Access(); }

    // Sends a bare command as the console does and waits for its end.
    int RunBare(std::uint8_t code, std::uint16_t mode = kCallerConsole) {
        M().SetCommandResult(result::kCommandUnderWay);
        if (int r = M().IssueBare(code, mode); r != 0) return r;
        return M().WaitForCommand();
    }
    // Runs a console issuer and waits for the answer.
    int Run(const std::function<IssueResult(const IssueContext&)>& issue) {
        M().SetCommandResult(result::kCommandUnderWay);
        IssueResult r = issue(M().MakeIssueContext());
        if (!r.sent) return r.code;
        return M().WaitForCommand();
    }

    // Rows of a table, read fresh: each row's fields as text ("<null>" for an unset field).
    std::vector<std::map<std::string, std::string>> Rows(const std::string& table, const std::string& where = "") {
        RecordSet rs;
        EXPECT_EQ(rs.Open(Access().Connection(), "Select * From " + table + (where.empty() ? "" : " where " + where)),
                  0);
        std::vector<std::map<std::string, std::string>> out;
        if (!rs.IsOpen()) return out;
        for (bool ok = rs.MoveFirst() == 0; ok && !rs.Eof(); ok = rs.MoveNext() == 0) {
            std::map<std::string, std::string> row;
            for (const FieldDef& f : rs.Table()->fields) {
                bool null = false;
                rs.IsNull(f.name, null);
                std::string v;
                rs.GetText(f.name, v);
                row[f.name] = null ? "<null>" : v;
            }
            out.push_back(std::move(row));
        }
        return out;
    }

    void SeedInvoices(int count, std::uint32_t from, std::uint32_t to, std::uint64_t seed = 7) {
        sim_->update_state([&](sim::MachineState& s) {
            sim::SeedOptions o;
            o.invoices = count;
            o.from = from;
            o.to = to;
            o.seed = seed;
            sim::seed_state(s, o, 20240315);
        });
    }

    // A text as the command log holds it.
    static std::string Gbk(const std::string& utf8) {
        Bytes gbk;
        Utf8ToGbk(utf8, gbk);
        return std::string(gbk.begin(), gbk.end());
    }

    static DateInput Date(const std::string& yyyymmdd) {
        return {yyyymmdd.substr(0, 4), yyyymmdd.substr(4, 2), yyyymmdd.substr(6, 2)};
    }
};

}  // namespace karvex::testing
