#!/usr/bin/env python3
"""How clients spread over a provider's servers of one kind.

Each check draws a random start entry, probes it, then probes entries 1, 2,
... upward; the first server that answers is selected. This draws many
clients' choices for every case "all servers up" and "server k down" and
prints the share of clients each server receives, as a Markdown table.

    scripts/load_spread.py [--servers N] [--clients C] [--seed S]
"""
import argparse
import random


def choose(servers, down, rng):
    """The entry one client selects, or None when every server is down."""
    start = rng.randint(1, servers)
    for entry in [start] + list(range(1, servers + 1)):
        if entry not in down:
            return entry
    return None


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--servers", type=int, default=4, help="entries of the kind (default 4)")
    parser.add_argument("--clients", type=int, default=100000, help="clients drawn (default 100000)")
    parser.add_argument("--seed", type=int, default=1, help="seed of the draw (default 1)")
    args = parser.parse_args()
    if not 1 <= args.servers <= 10 or args.clients < 1:
        parser.error("--servers must be 1 to 10 (a check reads at most 10) and --clients positive")

    rng = random.Random(args.seed)
    cases = [("all up", set())] + [(f"server {k} down", {k}) for k in range(1, args.servers + 1)]
    header = "| case | " + " | ".join(f"server {k}" for k in range(1, args.servers + 1)) + " |"
    print(header)
    print("|" + "---|" * (args.servers + 1))
    for name, down in cases:
        counts = [0] * (args.servers + 1)
        for _ in range(args.clients):
            selected = choose(args.servers, down, rng)
            if selected:
                counts[selected] += 1
        shares = ["down" if k in down else f"{100 * counts[k] / args.clients:.1f} %"
                  for k in range(1, args.servers + 1)]
        print(f"| {name} | " + " | ".join(shares) + " |")


if __name__ == "__main__":
    main()
