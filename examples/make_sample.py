"""Writes examples/sample_orders.csv, the table the demo encodes: a few thousand made-up orders
with text, numeric and missing values. Seeded, so every run writes the same bytes.

    python3 examples/make_sample.py
"""

import csv
import pathlib
import random

ROWS = 4000
SEED = 20240611
OUT = pathlib.Path(__file__).resolve().parent / "sample_orders.csv"

CITIES = [
    "Lisbon", "Porto", "Madrid", "Sevilla", "Lyon", "Paris", "Gent", "Utrecht", "Bergen",
    "Oslo", "Turku", "Tartu", "Kraków", "Brno", "Graz", "Zürich",
]
PRODUCTS = [f"{kind} {model}" for kind in ("kettle", "lamp", "chair", "desk", "mug", "rug")
            for model in ("basic", "plus", "pro", "mini", "max", "eco", "retro")]
CHANNELS = ["web", "store", "phone"]
SIZES = ["S", "M", "L", "XL"]


def maybe(rng, probability, value):
    """The value, or an empty field (read back as missing) with the given probability."""
    return "" if rng.random() < probability else value


def main():
    rng = random.Random(SEED)
    with OUT.open("w", newline="", encoding="utf-8") as out:
        writer = csv.writer(out, lineterminator="\n")
        writer.writerow(["order_id", "city", "product", "channel", "size", "price", "quantity",
                         "rating", "discount"])
        for i in range(ROWS):
            rating = str(rng.randint(1, 5)) if rng.random() < 0.9 else "unrated"
            writer.writerow([
                100_001 + i,
                maybe(rng, 0.03, rng.choice(CITIES)),
                rng.choice(PRODUCTS),
                rng.choices(CHANNELS, weights=[6, 3, 1])[0],
                maybe(rng, 0.05, rng.choice(SIZES)),
                maybe(rng, 0.02, f"{rng.uniform(2, 400):.2f}"),
                rng.randint(1, 12),
                rating,
                maybe(rng, 0.6, f"{rng.choice([0.05, 0.1, 0.15, 0.25]):.2f}"),
            ])
    print(f"wrote {ROWS} rows to {OUT}")


if __name__ == "__main__":
    main()
