"""A small shop: a catalogue, stock shared by three cashier threads, discounts
and a sales report. Run it as a plain script; it prints the report."""

import json
import statistics
import threading

CATALOGUE = """\
sku,name,price_cents
A1,notebook,350
B2,pencil,120
C3,backpack,4599
D4,stapler,1250
"""

ORDERS_BY_CASHIER = {
    "north": [[("A1", 3), ("B2", 10)], [("C3", 1)]],
    "south": [[("D4", 2), ("A1", 1)], [("C3", 1)]],
    "east": [[("B2", 5)], [("C3", 1)], [("D4", 1)]],
}
STOCK = {"A1": 20, "B2": 30, "C3": 2, "D4": 10}


class OutOfStock(Exception):
    def __init__(self, sku, wanted, available):
        super().__init__(f"{sku}: wanted {wanted}, {available} left")
        self.sku = sku


class Product:
    def __init__(self, sku, name, price_cents):
        self.sku = sku
        self.name = name
        self.price_cents = price_cents

    @classmethod
    def from_row(cls, row):
        sku, name, price_cents = row.split(",")
        return cls(sku, name, int(price_cents))

    @property
    def price(self):
        return self.price_cents / 100


def read_catalogue(text):
    """Yield the products of a CSV catalogue, skipping its header."""
    lines = text.strip().splitlines()
    for row in lines[1:]:
        yield Product.from_row(row)


class Inventory:
    def __init__(self, stock):
        self._stock = dict(stock)
        self._lock = threading.Lock()

    def reserve(self, sku, quantity):
        with self._lock:
            available = self._stock[sku]
            if available < quantity:
                raise OutOfStock(sku, quantity, available)
            self._stock[sku] = available - quantity


class Order:
    def __init__(self, lines, products):
        self.lines = lines
        self.products = products

    def total_cents(self):
        def line_total(sku, quantity):
            unit = self.products[sku].price_cents
            return apply_bulk_discount(unit * quantity, quantity)

        def apply_bulk_discount(cents, quantity):
            return cents * 9 // 10 if quantity >= 10 else cents

        return sum(line_total(sku, quantity) for sku, quantity in self.lines)


def serve(cashier, orders, inventory, products, results):
    totals, refused = [], []
    for lines in orders:
        order = Order(lines, products)
        try:
            for sku, quantity in lines:
                inventory.reserve(sku, quantity)
        except OutOfStock as error:
            refused.append(error.sku)
            continue
        totals.append(order.total_cents())
    results[cashier] = {"totals": totals, "refused": refused}


def run_shop():
    products = {product.sku: product for product in read_catalogue(CATALOGUE)}
    # Three cashiers each sell one backpack and two are in stock: exactly
    # one sale is refused, whichever cashier it falls on.
    inventory = Inventory(STOCK)
    results = {}
    cashiers = [
        threading.Thread(target=serve, args=(name, orders, inventory, products, results), name=f"cashier-{name}")
        for name, orders in ORDERS_BY_CASHIER.items()
    ]
    for cashier in cashiers:
        cashier.start()
    for cashier in cashiers:
        cashier.join()
    return products, results


def report(products, results):
    totals = [total for result in results.values() for total in result["totals"]]
    refused = sum(len(result["refused"]) for result in results.values())
    refused_skus = {sku for result in results.values() for sku in result["refused"]}
    return {
        "orders_served": len(totals),
        "orders_refused": refused,
        "refused_skus": sorted(refused_skus),
        "cheapest_item": min(products.values(), key=lambda product: product.price).name,
        "total_revenue_cents": sum(totals),
        "items_in_catalogue": len(products),
    }


def main():
    products, results = run_shop()
    summary = report(products, results)
    summary["mean_price"] = round(statistics.mean(product.price for product in products.values()), 2)
    print(json.dumps(summary, sort_keys=True))


if __name__ == "__main__":
    main()
