"""Issues the sales given as JSON on standard input through the Python wrapper's make_inv with a list of
goods, on port 1 ($KARVEX_COM1) and data directory $KARVEX_DATA_DIR; prints one result code per sale."""
import json
import sys

import karvex


def main():
    fiscal = karvex.Fiscal()
    code = fiscal.LoadFiscalForm()
    if code != 0:
        print("load", code, fiscal.Description)
        return 1
    for sale in json.load(sys.stdin):
        goods = [karvex.Goods(g["name"], g["quantity"], g["price"], g["amount"], g["tax_index"]) for g in sale["goods"]]
        command = 53 if sale["returned"] else 52
        print(fiscal.make_inv(command, sale["fh"], 0, sale["returned"], sale["payer"], goods, sale_id=sale["id"]))
    fiscal.UnloadFicalForm()
    fiscal.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
