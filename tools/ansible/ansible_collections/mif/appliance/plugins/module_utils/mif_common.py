# What every module of the collection shares: the options that reach an
# appliance, opening its session, and turning every failure into a failed
# task with the daemon's text instead of a traceback.
import traceback

try:
    import mif
    MIF_IMPORT_ERROR = None
except ImportError:
    mif = None
    MIF_IMPORT_ERROR = traceback.format_exc()

CONNECTION_ARGS = dict(
    host=dict(type="str", default="127.0.0.1"),
    port=dict(type="int", default=16176),
    key=dict(type="path"),
    role=dict(type="str"),
    timeout=dict(type="float", default=30),
)


def argument_spec(**own):
    """The connection options every module takes, then the module's own."""
    options = dict(CONNECTION_ARGS)
    options.update(own)
    return options


def run_module(module, body):
    """Opens the appliance's session, runs body(module, session) -> result
    dict, and exits: failures of the session as failed tasks carrying the
    daemon's text (`answer`), never as tracebacks."""
    if mif is None:
        import sys
        module.fail_json(msg=f"the mif Python package is not importable by {sys.executable}: "
                             "set PYTHONPATH or ansible_python_interpreter to where it is built or installed",
                         exception=MIF_IMPORT_ERROR)
    p = module.params
    if not p["key"] and not p["role"]:
        module.fail_json(msg="give key (a private key file) or role")
    try:
        with mif.connect(p["host"], p["port"], key=p["key"], role=None if p["key"] else p["role"],
                         timeout=p["timeout"]) as session:
            result = body(module, session)
    except mif.Nak as nak:
        module.fail_json(msg=str(nak), answer=nak.text)
    except mif.MifError as error:
        module.fail_json(msg=f"{p['host']}:{p['port']}: {error}", error=type(error).__name__)
    except (OSError, ValueError) as error:
        module.fail_json(msg=str(error), error=type(error).__name__)
    module.exit_json(**result)

