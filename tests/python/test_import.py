import crivane


def test_package_imports_the_extension_module():
    assert crivane._crivane_rs.__name__ == "crivane._crivane_rs" or crivane._crivane_rs.__name__ == "_crivane_rs"
