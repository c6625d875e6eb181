#!/usr/bin/env python3
"""A client of karvexd with the standard library only: status, an invoice, the journal's record of it."""
import json, os, sys, urllib.error, urllib.request

BASE = os.environ.get("KARVEXD_URL", "http://127.0.0.1:8765")
TOKEN_FILE = os.environ.get("KARVEXD_TOKEN_FILE", "/var/lib/karvexd/karvexd.token")

def call(method, path, body=None):
    token = open(TOKEN_FILE).read().strip()
    data = None if body is None else json.dumps(body).encode("utf-8")
    req = urllib.request.Request(BASE + path, data=data, method=method, headers={
        "Authorization": "Bearer " + token, "Content-Type": "application/json"})
    try:
        with urllib.request.urlopen(req, timeout=120) as answer:
            return answer.status, json.load(answer)
    except urllib.error.HTTPError as refused:  # the body says why: {"code", "message", "field"?}
        return refused.code, json.load(refused)

if __name__ == "__main__":
    print(call("GET", "/v1/status"))
    sale_id = sys.argv[1] if len(sys.argv) > 1 else "demo-0001"
    status, sale = call("POST", "/v1/sales", {"kind": "issue", "sale_id": sale_id, "payer": "个人", "goods": [
        {"name": "苹果", "quantity": "2", "price": "3.50", "amount": "7.00", "tax_index": 1}]})
    print(status, sale)  # a repeat with the same sale id answers the same sale, nothing is issued twice
    if status == 409 and sale.get("state") == "in-doubt":
        print("in doubt; ask later:", call("GET", "/v1/sales/" + sale_id))
