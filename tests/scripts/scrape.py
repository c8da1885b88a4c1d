#!/usr/bin/python3
"""Scrapes a /metrics URL with the Prometheus client's own parser and prints one sample per
line, "name{label="value",...} value", labels sorted, so a test can compare them as text.
Exits 1 when the page does not parse."""
import sys
import urllib.request

from prometheus_client.parser import text_string_to_metric_families

def main():
    text = urllib.request.urlopen(sys.argv[1], timeout=5).read().decode("utf-8")
    for family in text_string_to_metric_families(text):
        for s in family.samples:
            labels = ",".join('%s="%s"' % (k, v) for k, v in sorted(s.labels.items()))
            value = int(s.value) if float(s.value).is_integer() else s.value
            print("%s%s %s" % (s.name, "{%s}" % labels if labels else "", value))

if __name__ == "__main__":
    try:
        main()
    except Exception as e:  # a page that does not parse is the failure this reports
        print("scrape: %s" % e, file=sys.stderr)
        sys.exit(1)
