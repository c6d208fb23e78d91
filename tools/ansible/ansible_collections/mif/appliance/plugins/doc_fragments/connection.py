class ModuleDocFragment(object):
    # The options every module takes to reach its appliance.
    DOCUMENTATION = r'''
options:
  host:
    description: The appliance's address.
    type: str
    default: 127.0.0.1
  port:
    description: The daemon's TCP port.
    type: int
    default: 16176
  key:
    description:
      - Private key (PEM) to authenticate with, e.g. a production key.
      - One of I(key) and I(role) is required.
    type: path
  role:
    description: Role whose key is taken from C(MIF_KEY_DIR) (or the development keys), e.g. C(testlab).
    type: str
  timeout:
    description: Longest wait for any answer of the daemon, in seconds.
    type: float
    default: 30
requirements:
  - The C(mif) Python package (built with the project) importable by the module's interpreter
    (C(ansible_python_interpreter), C(PYTHONPATH)).
notes:
  - "The modules run on the controller; use C(connection: local). The daemon serves one client at
    a time, so a play should not run two tasks against one appliance at once."
'''
