import _varnett


def test_module_imports():
    assert _varnett.__name__ == "_varnett"
