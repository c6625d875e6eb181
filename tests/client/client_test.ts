// A client made from docs/openapi.json alone (openapi-typescript types, openapi-fetch calls): what a
// point-of-sale vendor's generated client does must type-check against the document and work against the
// service. Usage: node out/client_test.js BASE_URL TOKEN
import createClient from "openapi-fetch";
import type { paths } from "./api.js";

const [baseUrl, token] = process.argv.slice(2);
const client = createClient<paths>({ baseUrl, headers: { Authorization: `Bearer ${token}` } });

function check(ok: boolean, what: string, seen?: unknown): void {
  if (!ok) {
    console.error(`not ok: ${what}`, JSON.stringify(seen));
    process.exit(1);
  }
  console.log(`ok: ${what}`);
}

const status = await client.GET("/v1/status");
check(status.response.status === 200 && status.data !== undefined, "status read", status.error);

const online = await client.POST("/v1/online");
check(online.response.status === 200, "on line", online.error);

const sale = {
  kind: "issue" as const,
  sale_id: `client-${Date.now()}`,
  payer: "个人",
  goods: [{ name: "苹果", quantity: "2", price: "3.50", amount: "7.00", tax_index: 1 }],
};
const first = await client.POST("/v1/sales", { body: sale });
check(first.response.status === 200 && first.data !== undefined, "sale issued", first.error);
const again = await client.POST("/v1/sales", { body: sale });
check(again.response.status === 200 && again.data !== undefined, "sale repeated", again.error);
check(JSON.stringify(again.data) === JSON.stringify(first.data), "the repeat answers the same sale",
      [first.data, again.data]);

const looked = await client.GET("/v1/sales/{sale_id}", { params: { path: { sale_id: sale.sale_id } } });
check(looked.response.status === 200, "sale looked up by its id", looked.error);

const refused = await client.POST("/v1/sales", { body: { ...sale, payer: "另一个人" } });
check(refused.response.status === 409 && refused.error !== undefined, "other content under the same id refused",
      refused.data);
