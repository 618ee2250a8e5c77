"""Runs the shared model contract (contract.py) over the ROWS of each family's test file."""


def pytest_generate_tests(metafunc):
    rows = getattr(metafunc.module, "ROWS", None)
    if rows is None:
        return
    if "row" in metafunc.fixturenames:
        keep = getattr(metafunc.function, "rows_where", lambda row: True)
        chosen = [r for r in rows if keep(r)]
        metafunc.parametrize("row", chosen, ids=[r.name for r in chosen])
    if "row_and" in metafunc.fixturenames:
        # (row, item) pairs for the items that apply to each row.
        pairs = [(r, item) for r in rows for item in metafunc.function.row_and(r)]
        metafunc.parametrize("row_and", pairs, ids=[f"{r.name}-{item}" for r, item in pairs])
    if "case" in metafunc.fixturenames:
        cases = [(r, kwargs, trace) for r in rows for kwargs, trace in r.cases]
        ids = [r.name + "".join(f"-{k}{v}" for k, v in kwargs.items()) for r, kwargs, _ in cases]
        metafunc.parametrize("case", cases, ids=ids)


def pytest_collection_modifyitems(config, items):
    # A contract test that no row of a family needs is not run there, rather than skipped.
    def unused(item):
        mark = item.get_closest_marker("skip")
        return mark is not None and str(mark.kwargs.get("reason", "")).startswith("got empty parameter set")
    items[:] = [item for item in items if not unused(item)]
