"""Layered configuration: built-in defaults, a site file and command-line
overrides, merged with each of calvoro's two modules.

Run it with an interpreter where calvoro is installed:
    python examples/layered_config.py
"""
import json
import types

import calvoro.anyfold
import calvoro.tightfold


def show(title, value):
    print("%s:" % title)
    for line in json.dumps(value, indent=2).splitlines():
        print("    " + line)


def layers():
    defaults = {
        "server": {"host": "127.0.0.1", "port": 8080, "tls": {"enabled": False}},
        "logging": {"level": "info", "handlers": ["stderr"]},
        "workers": 2,
    }
    site = {
        "server": {"host": "0.0.0.0", "tls": {"enabled": True, "cert": "/etc/site.pem"}},
        "logging": {"handlers": ["stderr", "syslog"]},
    }
    cli = {"server": {"port": 9000}, "workers": 8}
    return defaults, site, cli


def main():
    defaults, site, cli = layers()
    show("defaults", defaults)
    show("site", site)
    show("command line", cli)
    print()

    results = []
    for module in (calvoro.anyfold, calvoro.tightfold):
        name = module.__name__
        defaults, site, cli = layers()
        before = json.dumps(defaults)

        two = module.merge(defaults, site)
        show("%s.merge(defaults, site)" % name, two)
        assert json.dumps(defaults) == before, "merge changed its first argument"
        # Values come over by reference: nothing but the first mapping is copied.
        assert two["logging"]["handlers"] is site["logging"]["handlers"]

        effective = module.merge_many([defaults, site, cli])
        show("%s.merge_many([defaults, site, cli])" % name, effective)

        module.merge_inplace(defaults, cli)
        show("%s.merge_inplace(defaults, cli) -> defaults" % name, defaults)
        print()
        results.append(effective)

    # anyfold takes any mapping; tightfold insists on exact dicts.
    frozen = types.MappingProxyType({"workers": 4})
    show("calvoro.anyfold.merge(cli, mappingproxy)",
         calvoro.anyfold.merge(layers()[2], frozen))
    try:
        calvoro.tightfold.merge(layers()[2], frozen)
    except TypeError as exc:
        print("calvoro.tightfold.merge(cli, mappingproxy) refuses it, as it "
              "should (TypeError: %s)" % exc)
    else:
        raise AssertionError("tightfold accepted a mappingproxy")

    print()
    assert results[0] == results[1]
    print("both modules agree on the effective configuration")


if __name__ == "__main__":
    main()
