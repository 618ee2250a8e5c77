import inspect

import pytest

import sc_dravik_engine as sc


def test_module_identity():
    assert sc.__doc__ == "SC-Dravik \u2500 High-Performance Native Engine"
    assert sc.__version__ == "3.14.0"
    assert sc.__all__[0] == "__version__"
    assert len(sc.__all__) == len(set(sc.__all__))
    for name in sc.__all__:
        assert hasattr(sc, name), name
    assert not hasattr(sc, "PanicException")


# Every name of the module in the order of its body: the module's own, then the model
# library by family block (ai_optimized, trivial, simple_spiking, maps, biophysical,
# multi_compartment, special, hardware, the threshold logic unit, rate, and the Arcane neuron
# last), then the networks and the remaining functions.
MODULE_ORDER = [
    "__version__", "simd_tier", "set_num_threads", "pack_bitstream", "unpack_bitstream",
    "popcount", "pack_bitstream_numpy", "popcount_numpy", "unpack_bitstream_numpy",
    "batch_lif_run", "batch_lif_run_multi", "batch_lif_run_varying", "batch_encode",
    "batch_encode_numpy", "Lfsr16", "BitstreamEncoder", "FixedPointLif", "DenseLayer",
    "StdpSynapse", "SurrogateLif", "DifferentiableDenseLayer", "StochasticAttention",
    "StochasticGraphLayer", "KuramotoSolver", "KVRAMetrics", "BitStreamTensor", "BrunelNetwork",
    "Izhikevich", "BitstreamAverager", "ScGraph", "ScGraphBuilder", "ir_verify", "ir_print",
    "ir_parse", "ir_emit_sv", "AdExNeuron", "ExpIFNeuron", "LapicqueNeuron",
]
MODEL_ORDER = [
    "MultiTimescaleNeuron", "AttentionGatedNeuron", "PredictiveCodingNeuron",
    "SelfReferentialNeuron", "CompositionalBindingNeuron", "DifferentiableSurrogateNeuron",
    "NativeContinuousAttractorNeuron", "MetaPlasticNeuron", "QuadraticIFNeuron", "ThetaNeuron",
    "PerfectIntegratorNeuron", "GatedLIFNeuron", "NonlinearLIFNeuron", "SFANeuron", "MATNeuron",
    "EscapeRateNeuron", "KLIFNeuron", "InhibitoryLIFNeuron", "ComplementaryLIFNeuron",
    "ParametricLIFNeuron", "NonResettingLIFNeuron", "AdaptiveThresholdIFNeuron",
    "SigmaDeltaNeuron", "EnergyLIFNeuron", "IntegerQIFNeuron", "ClosedFormContinuousNeuron",
    "FitzHughNagumoNeuron", "MorrisLecarNeuron", "HindmarshRoseNeuron", "ResonateAndFireNeuron",
    "FitzHughRinzelNeuron", "McKeanNeuron", "TermanWangOscillator", "BendaHerzNeuron",
    "AlphaNeuron", "COBALIFNeuron", "GutkinErmentroutNeuron", "WilsonHRNeuron", "ChayNeuron",
    "ChayKeizerNeuron", "ShermanRinzelKeizerNeuron", "ButeraRespiratoryNeuron", "EPropALIFNeuron",
    "SuperSpikeNeuron", "LearnableNeuronModel", "PernarowskiNeuron", "ChialvoMapNeuron",
    "RulkovMapNeuron", "IbarzTanakaMapNeuron", "MedvedevMapNeuron", "CazellesMapNeuron",
    "CourageNekorkinMapNeuron", "HodgkinHuxleyNeuron", "TraubMilesNeuron", "WangBuzsakiNeuron",
    "ConnorStevensNeuron", "DestexheThalamicNeuron", "HuberBraunNeuron", "GolombFSNeuron",
    "PospischilNeuron", "MainenSejnowskiNeuron", "DeSchutterPurkinjeNeuron", "PlantR15Neuron",
    "PrescottNeuron", "MihalasNieburNeuron", "GLIFNeuron", "GIFPopulationNeuron",
    "AvRonCardiacNeuron", "DurstewitzDopamineNeuron", "HillTononiNeuron", "BertramPhantomBurster",
    "YamadaNeuron", "PinskyRinzelNeuron", "HayL5PyramidalNeuron", "MarderSTGNeuron",
    "RallCableNeuron", "BoothRinzelNeuron", "DendrifyNeuron", "TwoCompartmentLIFNeuron",
    "PoissonNeuron", "InhomogeneousPoissonNeuron", "GammaRenewalNeuron", "StochasticIFNeuron",
    "GalvesLocherbachNeuron", "SpikeResponseNeuron", "GLMNeuron", "WilsonCowanUnit",
    "JansenRitUnit", "WongWangUnit", "ErmentroutKopellPopulation", "WendlingNeuron",
    "LarterBreakspearNeuron", "LoihiCUBANeuron", "Loihi2Neuron", "TrueNorthNeuron",
    "BrainScaleSAdExNeuron", "SpiNNakerLIFNeuron", "SpiNNaker2Neuron", "DPINeuron", "AkidaNeuron",
    "NeuroGridNeuron", "McCullochPittsNeuron", "SigmoidRateNeuron", "ThresholdLinearRateNeuron",
    "AstrocyteModel", "TsodyksMarkramNeuron", "LiquidTimeConstantNeuron", "CompteWMNeuron",
    "SiegertTransferFunction", "FractionalLIFNeuron", "ParallelSpikingNeuron", "AmariNeuralField",
    "LeakyCompeteFireNeuron", "ArcaneNeuron",
]
TAIL_ORDER = [
    "NetworkRunner", "py_simulate_ei_network", "py_batch_simulate", "py_cordiv",
    "py_adaptive_length", "py_prediction_error", "py_predict_xor_ema", "py_predict_xor_lfsr",
    "py_recover_xor_ema", "py_recover_xor_lfsr", "py_phi_star", "CorticalColumnNative",
    "RallDendriteNative",
]
ORDER = MODULE_ORDER + MODEL_ORDER + TAIL_ORDER


def test_names_are_added_in_the_module_body_order():
    assert sc.__all__ == ORDER
    assert len(ORDER) == 165 and len(MODEL_ORDER) == 114
    # The model registry adds its classes between LapicqueNeuron and NetworkRunner.
    start = sc.__all__.index("LapicqueNeuron") + 1
    assert sc.__all__[start:start + 114] == MODEL_ORDER
    assert sc.__all__[start + 114] == "NetworkRunner"
    functions = [n for n in ORDER[1:] if not isinstance(getattr(sc, n), type)]
    assert len(functions) == 27 and len(ORDER) - 1 - len(functions) == 137


def _classes():
    return [getattr(sc, n) for n in sc.__all__ if isinstance(getattr(sc, n), type)]


def test_class_properties():
    for cls in _classes():
        assert cls.__module__ == "sc_dravik_engine.sc_dravik_engine"
        assert cls.__bases__ == (object,)
        with pytest.raises(TypeError):
            type("Sub", (cls,), {})
        assert "__dict__" not in dir(cls)
        assert cls.__weakrefoffset__ == 0
        assert cls.__dictoffset__ == 0


def test_every_callable_has_a_signature():
    for name in sc.__all__[1:]:
        obj = getattr(sc, name)
        if isinstance(obj, type):
            for attr, member in vars(obj).items():
                if callable(member) and not attr.startswith("__"):
                    inspect.signature(getattr(obj, attr))
            if obj.__text_signature__ is not None:
                inspect.signature(obj)
        else:
            inspect.signature(obj)


def test_setting_unknown_attribute_fails():
    with pytest.raises(AttributeError):
        sc.Lfsr16().anything = 1


def _readelf(*args):
    import shutil
    import subprocess

    if not shutil.which("readelf"):
        pytest.skip("readelf is not installed")
    return subprocess.run(["readelf", *args, sc.__file__], capture_output=True, text=True, check=True).stdout


def test_only_the_init_function_is_exported():
    exported = [
        line.split()[-1]
        for line in _readelf("--dyn-syms", "-W").splitlines()
        if " GLOBAL " in line and " UND " not in line
    ]
    assert exported == ["PyInit_sc_dravik_engine"]


@pytest.mark.release_link
def test_needs_only_the_c_runtime():
    needed = [line.split("[")[1].rstrip("]") for line in _readelf("-d").splitlines() if "(NEEDED)" in line]
    assert needed, "no dynamic dependencies listed"
    for lib in needed:
        assert lib.split(".so")[0] in {"libc", "libm", "libgcc_s", "ld-linux-x86-64"}, lib
